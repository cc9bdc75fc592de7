#include "meeting_provider.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>

namespace {

constexpr auto zoom = MeetingProvider::zoom;
constexpr auto teams = MeetingProvider::teams;

struct BundleCase {
  std::string bundleID;
  std::optional<MeetingProvider> expected;
  friend void PrintTo(const BundleCase& c, std::ostream* out) { *out << '"' << c.bundleID << '"'; }
};

class BundleIDRule : public testing::TestWithParam<BundleCase> {};

TEST_P(BundleIDRule, ClassifiesIdentifier) {
  EXPECT_EQ(meetingProviderFromBundleID(GetParam().bundleID), GetParam().expected)
      << "identifier: \"" << GetParam().bundleID << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, BundleIDRule,
    testing::Values(
        // Base identifiers and their sub-identifiers.
        BundleCase{"us.zoom.xos", zoom}, BundleCase{"us.zoom.xos.", zoom},
        BundleCase{"us.zoom.xos.ZoomAudioDevice", zoom},
        BundleCase{"com.microsoft.teams2", teams}, BundleCase{"com.microsoft.teams2.", teams},
        BundleCase{"com.microsoft.teams2.helper", teams},
        BundleCase{"com.microsoft.teams", teams}, BundleCase{"com.microsoft.teams.", teams},
        BundleCase{"com.microsoft.teams.helper.renderer", teams},
        // Letter case anywhere does not matter.
        BundleCase{"US.ZOOM.XOS", zoom}, BundleCase{"Us.Zoom.Xos.Helper", zoom},
        BundleCase{"COM.MICROSOFT.TEAMS2", teams}, BundleCase{"com.Microsoft.Teams.X", teams},
        // A base followed directly by anything but a period (or teams' "2").
        BundleCase{"us.zoom.xosx", std::nullopt}, BundleCase{"us.zoom.xos2", std::nullopt},
        BundleCase{"us.zoom", std::nullopt}, BundleCase{"us.zoom.", std::nullopt},
        BundleCase{"com.microsoft.teams3", std::nullopt},
        BundleCase{"com.microsoft.teams22", std::nullopt},
        BundleCase{"com.microsoft.teams2x.y", std::nullopt},
        BundleCase{"com.microsoft.teams-helper", std::nullopt},
        BundleCase{"com.microsoft.team", std::nullopt},
        BundleCase{"com.microsoft.outlook", std::nullopt},
        // Nothing is trimmed; only the beginning counts after a prefix.
        BundleCase{"", std::nullopt}, BundleCase{" us.zoom.xos", std::nullopt},
        BundleCase{"us.zoom.xos ", std::nullopt}, BundleCase{"com.microsoft.teams2 ", std::nullopt},
        BundleCase{"us.zoom.xos.helper ", zoom}, BundleCase{"com.microsoft.teams. ", teams},
        BundleCase{std::string("us.zoom.xos\0", 12), std::nullopt},
        // Full Unicode lower-casing: U+0130 becomes "i" + U+0307, so it never
        // stands for a plain 'i'; U+212A (Kelvin) becomes 'k', which no
        // literal contains; U+0049 is always 'i' whatever the locale.
        BundleCase{"com.m\u0130crosoft.teams", std::nullopt},
        BundleCase{"com.microsoft.teams.\u0130", teams},
        BundleCase{"COM.MICROSOFT.TEAMS", teams},
        BundleCase{"us.zoom.xos\u212A", std::nullopt},
        BundleCase{"us.zoom.xos.\u212A", zoom},
        BundleCase{"us.zo\u00D3m.xos", std::nullopt}));

TEST(MeetingProvider, RawValuesRoundTripExactly) {
  for (MeetingProvider provider : allMeetingProviders) {
    EXPECT_EQ(meetingProviderFromRawValue(rawValue(provider)), provider);
  }
  EXPECT_EQ(rawValue(zoom), "zoom");
  EXPECT_EQ(rawValue(teams), "teams");
  for (const char* text : {"Zoom", "ZOOM", "Teams", "TEAMS", " zoom", "zoom ", "", "ready"}) {
    EXPECT_EQ(meetingProviderFromRawValue(text), std::nullopt) << text;
  }
}

TEST(MeetingProvider, AllCasesListZoomFirst) {
  ASSERT_EQ(allMeetingProviders.size(), 2u);
  EXPECT_EQ(allMeetingProviders[0], zoom);
  EXPECT_EQ(allMeetingProviders[1], teams);
}

TEST(MeetingProvider, KeysAHashedMap) {
  std::unordered_map<MeetingProvider, int> counts;
  counts[zoom] += 1;
  counts[teams] += 2;
  counts[zoom] += 3;
  EXPECT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[zoom], 4);
  EXPECT_EQ(std::hash<MeetingProvider>{}(teams), std::hash<std::string_view>{}("teams"));
}

}  // namespace
