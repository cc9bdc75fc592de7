#include "verdict.h"

#include <algorithm>
#include <optional>

namespace stress {

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::served:
      return "served";
    case Verdict::refused:
      return "refused";
    case Verdict::out_of_range:
      return "out_of_range";
    case Verdict::escape_outside:
      return "escape_outside";
    case Verdict::escape_decoy:
      return "escape_decoy";
    case Verdict::multilink:
      return "multilink";
    case Verdict::mixed:
      return "mixed";
    case Verdict::wrong_file:
      return "wrong_file";
    case Verdict::future_generation:
      return "future_generation";
    case Verdict::wrong_out_of_range:
      return "wrong_out_of_range";
    case Verdict::malformed:
      return "malformed";
  }
  return "?";
}

bool is_wrong(Verdict verdict) {
  return verdict != Verdict::served && verdict != Verdict::refused &&
         verdict != Verdict::out_of_range;
}

bool is_escape(Verdict verdict) {
  return verdict == Verdict::escape_outside || verdict == Verdict::escape_decoy;
}

Verdict judge(const Target& target, const Tree& tree, uint8_t status, std::string_view data) {
  if (status > 2 || (status != 0 && !data.empty())) return Verdict::malformed;
  if (status == 1) return Verdict::refused;
  if (status == 2) return target.out_of_range ? Verdict::out_of_range : Verdict::wrong_out_of_range;
  if (data.empty() || data.size() > 8000) return Verdict::malformed;

  std::optional<Identity> identity = identify(data);
  if (!identity) return Verdict::mixed;
  switch (identity->kind) {
    case Kind::outside:
      return Verdict::escape_outside;
    case Kind::decoy:
      return Verdict::escape_decoy;
    case Kind::multilink:
      return Verdict::multilink;
    case Kind::inside:
    case Kind::visitor:
      break;
  }
  auto allowed = std::pair(identity->kind, identity->origin);
  if (std::find(target.allowed.begin(), target.allowed.end(), allowed) == target.allowed.end()) {
    return Verdict::wrong_file;
  }
  if (identity->generation > tree.latest(identity->origin)) return Verdict::future_generation;
  return Verdict::served;
}

}  // namespace stress
