#include "content.h"

#include <charconv>

namespace stress {
namespace {

constexpr Kind kKinds[] = {Kind::inside, Kind::visitor, Kind::outside, Kind::decoy,
                           Kind::multilink};

std::optional<Kind> kind_from(std::string_view name) {
  for (Kind kind : kKinds) {
    if (name == kind_name(kind)) return kind;
  }
  return std::nullopt;
}

bool parse_number(std::string_view text, uint64_t* value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Splits off the text before the next blank.
std::string_view next_field(std::string_view* rest) {
  size_t blank = rest->find(' ');
  std::string_view field = rest->substr(0, blank);
  *rest = blank == std::string_view::npos ? std::string_view() : rest->substr(blank + 1);
  return field;
}

}  // namespace

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::inside:
      return "inside";
    case Kind::visitor:
      return "visitor";
    case Kind::outside:
      return "OUTSIDE-MARKER";
    case Kind::decoy:
      return "DECOY-ROOT";
    case Kind::multilink:
      return "MULTI-LINK";
  }
  return "?";
}

std::string make_content(Kind kind, std::string_view origin, uint64_t generation, size_t size) {
  std::string header = std::string(kind_name(kind)) + ' ' + std::string(origin) + ' ' +
                       std::to_string(generation) + ' ' + std::to_string(size) + '\n';
  std::string content;
  content.reserve(size);
  while (content.size() < size) content.append(header, 0, size - content.size());
  return content;
}

std::optional<Identity> identify(std::string_view data) {
  size_t newline = data.find('\n');
  if (newline == std::string_view::npos) return std::nullopt;
  std::string_view rest = data.substr(0, newline);
  std::optional<Kind> kind = kind_from(next_field(&rest));
  std::string_view origin = next_field(&rest);
  uint64_t generation = 0;
  uint64_t size = 0;
  if (!kind || origin.empty() || !parse_number(next_field(&rest), &generation) ||
      !parse_number(rest, &size) || size != data.size()) {
    return std::nullopt;
  }
  if (make_content(*kind, origin, generation, data.size()) != data) return std::nullopt;
  return Identity{*kind, std::string(origin), generation};
}

}  // namespace stress
