// Meeting applications the watcher recognises, and the rule that tells from
// an application's bundle identifier which of them owns a process.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

enum class MeetingProvider { zoom, teams };

// Every provider in declaration order. Events of one tick follow this order,
// so a "zoom" event always precedes a "teams" event.
inline constexpr std::array<MeetingProvider, 2> allMeetingProviders = {MeetingProvider::zoom,
                                                                      MeetingProvider::teams};

// "zoom" or "teams": the provider's text on the wire.
std::string_view rawValue(MeetingProvider provider);

// The provider whose raw value is exactly `text` (case-sensitive, untrimmed).
std::optional<MeetingProvider> meetingProviderFromRawValue(std::string_view text);

// The provider whose application has this bundle identifier: "us.zoom.xos",
// "com.microsoft.teams2" or "com.microsoft.teams", in any letter case, alone
// or followed by '.' and anything. Nothing is trimmed. Never fails otherwise.
std::optional<MeetingProvider> meetingProviderFromBundleID(std::string_view bundleID);

// Providers key hashed maps by their raw value.
template <>
struct std::hash<MeetingProvider> {
  std::size_t operator()(MeetingProvider provider) const noexcept {
    return std::hash<std::string_view>{}(rawValue(provider));
  }
};
