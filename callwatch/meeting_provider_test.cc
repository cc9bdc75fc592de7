#include "meeting_provider.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MeetingProvider, RecognisesBundleIdentifiers) {
  const std::optional<MeetingProvider> zoom = MeetingProvider::zoom, teams = MeetingProvider::teams,
                                       none;
  // clang-format off
  const std::pair<std::string, std::optional<MeetingProvider>> table[] = {
      // Base identifiers and their sub-identifiers, in any letter case.
      {"us.zoom.xos", zoom}, {"us.zoom.xos.", zoom}, {"us.zoom.xos.ZoomAudioDevice", zoom},
      {"com.microsoft.teams2", teams}, {"com.microsoft.teams2.", teams},
      {"com.microsoft.teams2.helper", teams}, {"com.microsoft.teams", teams},
      {"com.microsoft.teams.", teams}, {"com.microsoft.teams.helper.renderer", teams},
      {"US.ZOOM.XOS", zoom}, {"Us.Zoom.Xos.Helper", zoom}, {"COM.MICROSOFT.TEAMS2", teams},
      {"com.Microsoft.Teams.X", teams},
      // A base followed directly by anything but a period (or teams' "2").
      {"us.zoom.xosx", none}, {"us.zoom.xos2", none}, {"us.zoom", none}, {"us.zoom.", none},
      {"com.microsoft.teams3", none}, {"com.microsoft.teams22", none},
      {"com.microsoft.teams2x.y", none}, {"com.microsoft.teams-helper", none},
      {"com.microsoft.team", none},
      // Nothing is trimmed; after a prefix only the beginning counts.
      {"", none}, {" us.zoom.xos", none}, {"us.zoom.xos ", none}, {"com.microsoft.teams2 ", none},
      {"us.zoom.xos.helper ", zoom}, {std::string("us.zoom.xos\0", 12), none},
      // Full Unicode lower-casing: U+0130 becomes "i" + U+0307, so it never
      // stands for a plain 'i'; U+212A (Kelvin) becomes 'k', which no literal
      // contains; capital I is 'i' whatever the locale.
      {"com.m\u0130crosoft.teams", none}, {"com.microsoft.teams.\u0130", teams},
      {"COM.MICROSOFT.TEAMS", teams}, {"us.zoom.xos\u212A", none}, {"us.zoom.xos.\u212A", zoom},
      {"us.zo\u00D3m.xos", none}};
  // clang-format on
  for (const auto& [bundleID, provider] : table) {
    EXPECT_EQ(meetingProviderFromBundleID(bundleID), provider) << '"' << bundleID << '"';
  }
}

}  // namespace
