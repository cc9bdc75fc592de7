#include "meeting_provider.h"

namespace {

struct BundleRule {
  std::string_view literal;
  bool prefix;
  MeetingProvider provider;
};

// Tried in order; the first rule that holds decides. The prefix literals end
// in '.', so "us.zoom.xosx" or "com.microsoft.teams3" match nothing.
constexpr BundleRule bundleRules[] = {
    {"us.zoom.xos", false, MeetingProvider::zoom},
    {"us.zoom.xos.", true, MeetingProvider::zoom},
    {"com.microsoft.teams2", false, MeetingProvider::teams},
    {"com.microsoft.teams2.", true, MeetingProvider::teams},
    {"com.microsoft.teams", false, MeetingProvider::teams},
    {"com.microsoft.teams.", true, MeetingProvider::teams},
};

char lowerASCII(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the full Unicode lower-case form of `text` begins with (or, when
// `whole`, equals) the ASCII lower-case `literal`.
//
// Folding only A-Z is exact here. Non-ASCII characters never lower-case into
// a plain ASCII string of the literals' letters: the only two that produce
// ASCII at all are U+212A KELVIN SIGN, giving 'k', which no literal contains,
// and U+0130 CAPITAL I WITH DOT ABOVE, giving 'i' followed by U+0307, whose
// combining dot can never match the literal's next character (and equality
// fails on it at the end). Every other non-ASCII character stays non-ASCII,
// so its UTF-8 bytes (all >= 0x80) differ from any literal byte. The result
// is independent of locale by construction.
bool lowerCaseMatches(std::string_view text, std::string_view literal, bool whole) {
  if (text.size() < literal.size() || (whole && text.size() != literal.size())) return false;
  for (std::size_t i = 0; i < literal.size(); ++i) {
    if (lowerASCII(text[i]) != literal[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view rawValue(MeetingProvider provider) {
  switch (provider) {
    case MeetingProvider::zoom:
      return "zoom";
    case MeetingProvider::teams:
      return "teams";
  }
  return {};
}

std::optional<MeetingProvider> meetingProviderFromBundleID(std::string_view bundleID) {
  for (const BundleRule& rule : bundleRules) {
    if (lowerCaseMatches(bundleID, rule.literal, !rule.prefix)) return rule.provider;
  }
  return std::nullopt;
}
