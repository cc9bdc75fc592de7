#include "meeting_provider.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(MeetingProvider, RecognisesBundleIdentifiers) {
  // clang-format off
  const std::pair<std::optional<MeetingProvider>, std::vector<std::string>> table[] = {
      // Base identifiers and their sub-identifiers, in any letter case; after
      // a prefix only the beginning counts.
      {MeetingProvider::zoom, {"us.zoom.xos", "us.zoom.xos.", "us.zoom.xos.ZoomAudioDevice",
          "US.ZOOM.XOS", "Us.Zoom.Xos.Helper", "us.zoom.xos.helper ", "us.zoom.xos.\u212A"}},
      {MeetingProvider::teams, {"com.microsoft.teams2", "com.microsoft.teams2.",
          "com.microsoft.teams2.helper", "com.microsoft.teams", "com.microsoft.teams.",
          "com.microsoft.teams.helper.renderer", "COM.MICROSOFT.TEAMS2", "com.Microsoft.Teams.X",
          "COM.MICROSOFT.TEAMS", "com.microsoft.teams.\u0130"}},
      // A base followed directly by anything but a period (or teams' "2");
      // nothing is trimmed.
      {std::nullopt, {"us.zoom.xosx", "us.zoom.xos2", "us.zoom", "us.zoom.",
          "com.microsoft.teams3", "com.microsoft.teams22", "com.microsoft.teams2x.y",
          "com.microsoft.teams-helper", "com.microsoft.team", "", " us.zoom.xos", "us.zoom.xos ",
          "com.microsoft.teams2 ", std::string("us.zoom.xos\0", 12),
          // Full Unicode lower-casing: U+0130 becomes "i" + U+0307, so it
          // never stands for a plain 'i'; U+212A (Kelvin) becomes 'k', which
          // no literal contains; capital I is 'i' whatever the locale (above).
          "com.m\u0130crosoft.teams", "us.zoom.xos\u212A", "us.zo\u00D3m.xos"}}};
  // clang-format on
  for (const auto& [provider, bundleIDs] : table) {
    for (const std::string& bundleID : bundleIDs) {
      EXPECT_EQ(meetingProviderFromBundleID(bundleID), provider) << '"' << bundleID << '"';
    }
  }
}

}  // namespace
