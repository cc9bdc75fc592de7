#include "meeting_activity.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

// A sample written as entries "Pio" separated by blanks: P is Z (zoom) or T
// (teams), i and o are the input and output states, t/f/n for true, false
// and none. "-" alone is an absent sample; "" an empty present one.
AudioSample parseSample(const std::string& text) {
  if (text == "-") return std::nullopt;
  auto state = [](char c) -> std::optional<bool> {
    if (c == 'n') return std::nullopt;
    return c == 't';
  };
  std::vector<AudioProcessActivity> entries;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    MeetingProvider provider = word[0] == 'Z' ? MeetingProvider::zoom : MeetingProvider::teams;
    entries.emplace_back(provider, state(word[1]), state(word[2]));
  }
  return entries;
}

// One observation letter as a provider's sample entries: A active, I
// inactive (no process), i inactive (a silent process), U undetermined.
std::string entriesFor(char letter, char provider) {
  switch (letter) {
    case 'A': return std::string(1, provider) + "tt";
    case 'i': return std::string(1, provider) + "ff";
    case 'U': return std::string(1, provider) + "tn";
    default: return "";
  }
}

// Feeds one call per position; '-' in the zoom column is an absent sample.
// Teams letters default to I where its column is shorter. Returns the events
// as "call:provider+" (started) or "call:provider-" (ended), blank-separated.
std::string run(const std::string& zoom, const std::string& teams = "") {
  MeetingActivity activity;
  std::string seen;
  for (std::size_t call = 0; call < zoom.size(); ++call) {
    char teamsLetter = call < teams.size() ? teams[call] : 'I';
    AudioSample sample =
        zoom[call] == '-' ? std::nullopt
                          : parseSample(entriesFor(zoom[call], 'Z') + " " + entriesFor(teamsLetter, 'T'));
    for (const MeetingActivityEvent& event : activity.observe(sample)) {
      EXPECT_TRUE(event.provider().has_value());
      if (!seen.empty()) seen += ' ';
      seen += std::to_string(call + 1) + ":" + std::string(rawValue(*event.provider())) +
              (event.type() == MeetingActivityEvent::Kind::candidateStarted ? "+" : "-");
    }
  }
  return seen;
}

struct SequenceCase {
  std::string zoom;
  std::string teams;
  std::string events;
  friend void PrintTo(const SequenceCase& c, std::ostream* out) {
    *out << "zoom " << c.zoom << " teams " << c.teams;
  }
};

class Debouncing : public testing::TestWithParam<SequenceCase> {};

TEST_P(Debouncing, EventsFallOnExpectedCalls) {
  EXPECT_EQ(run(GetParam().zoom, GetParam().teams), GetParam().events)
      << "zoom " << GetParam().zoom << " teams " << GetParam().teams;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Debouncing,
    testing::Values(
        SequenceCase{"AA", "", ""},
        SequenceCase{"AAA", "", "3:zoom+"},
        SequenceCase{"AAAAAA", "", "3:zoom+"},
        SequenceCase{"AAUAAA", "", "6:zoom+"},
        SequenceCase{"AAIAAA", "", "6:zoom+"},
        SequenceCase{"AA-AAA", "", "6:zoom+"},
        SequenceCase{"AAAIIIIIIII", "", "3:zoom+ 11:zoom-"},
        SequenceCase{"AAAiiiiiiii", "", "3:zoom+ 11:zoom-"},
        SequenceCase{"AAAIIIIIIIAIIIIIIII", "", "3:zoom+ 19:zoom-"},
        SequenceCase{"AAAIIIIIIIUIIIIIIII", "", "3:zoom+ 19:zoom-"},
        SequenceCase{"AAAIIIIIII-IIIIIIII", "", "3:zoom+ 19:zoom-"},
        SequenceCase{"AAAUUUUUA", "", "3:zoom+"},
        SequenceCase{"AAA-----------", "", "3:zoom+"},
        SequenceCase{"AAAIIIIIIIIAAA", "", "3:zoom+ 11:zoom- 14:zoom+"},
        SequenceCase{"IIIIIIIIII", "", ""},
        SequenceCase{"UUUUUUUUUU", "", ""},
        SequenceCase{"AUAUAUAUAU", "", ""},
        SequenceCase{"----------", "", ""},
        // Teams alone, and both providers flipping in one call: zoom first.
        SequenceCase{"IIII", "AAAA", "3:teams+"},
        SequenceCase{"AAA", "AAA", "3:zoom+ 3:teams+"},
        SequenceCase{"AAAIIIIIIIII", "IAAA", "3:zoom+ 4:teams+ 11:zoom- 12:teams-"},
        // An absent sample is undetermined for both providers at once.
        SequenceCase{"AA-A", "AA-A", ""},
        // The end count never starts before a candidate does.
        SequenceCase{"IIIIIIIIIIIIIIIIIIII", "iiiiiiiiiiiiiiiii", ""}));

// The verdict a sample gives zoom, read from the debouncer's behaviour alone:
// three in a row start a candidate only if active; after a started candidate
// and seven inactive calls, it ends the candidate only if inactive.
std::string verdictOf(const std::string& sample) {
  MeetingActivity fresh;
  std::size_t zoomEvents = 0;
  for (int i = 0; i < 3; ++i) {
    for (auto& event : fresh.observe(parseSample(sample))) {
      zoomEvents += event.provider() == MeetingProvider::zoom;
    }
  }
  if (zoomEvents == 1) return "active";
  MeetingActivity started;
  for (int i = 0; i < 3; ++i) started.observe(parseSample("Ztt"));
  for (int i = 0; i < 7; ++i) started.observe(parseSample(""));
  auto ended = started.observe(parseSample(sample));
  bool zoomEnded = !ended.empty() && ended[0].provider() == MeetingProvider::zoom;
  return zoomEnded ? "inactive" : "undetermined";
}

struct VerdictCase {
  std::string sample;
  std::string verdict;
  friend void PrintTo(const VerdictCase& c, std::ostream* out) { *out << '"' << c.sample << '"'; }
};

class ThreeValuedEvidence : public testing::TestWithParam<VerdictCase> {};

TEST_P(ThreeValuedEvidence, CombinesProcessesOfOneProvider) {
  EXPECT_EQ(verdictOf(GetParam().sample), GetParam().verdict) << "sample: " << GetParam().sample;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ThreeValuedEvidence,
    testing::Values(
        // The AND table, one process.
        VerdictCase{"Ztt", "active"}, VerdictCase{"Ztn", "undetermined"},
        VerdictCase{"Ztf", "inactive"}, VerdictCase{"Znt", "undetermined"},
        VerdictCase{"Znn", "undetermined"}, VerdictCase{"Znf", "inactive"},
        VerdictCase{"Zft", "inactive"}, VerdictCase{"Zfn", "inactive"},
        VerdictCase{"Zff", "inactive"},
        // Input and output may come from different processes.
        VerdictCase{"Ztf Zft", "active"},
        // A true outweighs a none within a summary.
        VerdictCase{"Znt Ztt", "active"}, VerdictCase{"Znf Ztn Zft", "active"},
        VerdictCase{"Zfn Zfn", "inactive"}, VerdictCase{"Znt Zft", "undetermined"},
        // Other providers' entries never count, and no entry is inactive.
        VerdictCase{"Ttt", "inactive"}, VerdictCase{"Ttf Zft", "inactive"},
        VerdictCase{"", "inactive"}, VerdictCase{"-", "undetermined"}));

TEST(MeetingActivity, ManyEntriesMoveTheCountByOnePerCall) {
  MeetingActivity activity;
  AudioSample crowd = parseSample("Ztt Ztt Ztt Ztt Ztt Ztt Ztt Ztt");
  EXPECT_TRUE(activity.observe(crowd).empty());
  EXPECT_TRUE(activity.observe(crowd).empty());
  EXPECT_EQ(activity.observe(crowd).size(), 1u);
}

TEST(MeetingActivity, EventsCarryVersionOneAndTheirProvider) {
  MeetingActivity activity;
  AudioSample both = parseSample("Ttt Ztt");
  activity.observe(both);
  activity.observe(both);
  auto events = activity.observe(both);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], MeetingActivityEvent(MeetingActivityEvent::Kind::candidateStarted,
                                            MeetingProvider::zoom));
  EXPECT_EQ(events[1], MeetingActivityEvent(MeetingActivityEvent::Kind::candidateStarted,
                                            MeetingProvider::teams));
  EXPECT_EQ(events[1].version(), 1);
}

}  // namespace
