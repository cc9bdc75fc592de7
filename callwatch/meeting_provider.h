// Meeting applications the watcher recognises, and the rule that tells from
// an application's macOS bundle identifier which of them owns a process.
#pragma once

#include <array>
#include <optional>
#include <string_view>

enum class MeetingProvider { zoom, teams };

// Every provider in declaration order. Events of one tick follow this order,
// so a "zoom" event always precedes a "teams" event.
inline constexpr std::array<MeetingProvider, 2> allMeetingProviders = {MeetingProvider::zoom,
                                                                       MeetingProvider::teams};

// "zoom" or "teams": the provider's text on the wire.
std::string_view rawValue(MeetingProvider provider);

// The provider whose application has this bundle identifier: "us.zoom.xos",
// "com.microsoft.teams2" or "com.microsoft.teams", in any letter case, alone
// or followed by '.' and anything. Nothing is trimmed. Never fails otherwise.
std::optional<MeetingProvider> meetingProviderFromBundleID(std::string_view bundleID);
