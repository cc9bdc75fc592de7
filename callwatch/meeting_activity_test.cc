#include "meeting_activity.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// One call's sample as blank-separated entries "Pio": P is Z (zoom) or T
// (teams); i and o are input and output, t true, f false, n none (unread).
// "-" alone is an absent sample, "" an empty one.
AudioSample parse(const std::string& text) {
  if (text == "-") return std::nullopt;
  auto state = [](char c) { return c == 'n' ? std::nullopt : std::optional<bool>(c == 't'); };
  std::vector<AudioProcessActivity> entries;
  for (std::size_t i = 0; i + 2 < text.size(); i += 4) {
    entries.emplace_back(text[i] == 'Z' ? MeetingProvider::zoom : MeetingProvider::teams,
                         state(text[i + 1]), state(text[i + 2]));
  }
  return entries;
}

const std::map<std::string, std::string> brief = {
    {"{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"zoom\"}\n", "+zoom"},
    {"{\"version\":1,\"type\":\"candidate-ended\",\"provider\":\"zoom\"}\n", "-zoom"},
    {"{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"teams\"}\n", "+teams"},
    {"{\"version\":1,\"type\":\"candidate-ended\",\"provider\":\"teams\"}\n", "-teams"}};

// The events of a call per letter, as "3+zoom 11-zoom": the call, then the
// event's line in brief. Letters: A zoom active, U zoom undetermined, I no
// process, T teams active, B both active, M four active zoom processes, - no
// sample, X the sample `x`.
std::string run(const std::string& letters, const std::string& x = "") {
  // clang-format off
  const std::map<char, std::string> samples = {{'A', "Ztt"}, {'U', "Ztn"}, {'I', ""},
      {'T', "Ttt"}, {'B', "Ztt Ttt"}, {'M', "Ztt Ztt Ztt Ztt"}, {'-', "-"}, {'X', x}};
  // clang-format on
  MeetingActivity activity;
  std::string seen;
  for (std::size_t call = 0; call < letters.size(); ++call) {
    for (const MeetingActivityEvent& event : activity.observe(parse(samples.at(letters[call])))) {
      std::string line = event.line();
      seen += " " + std::to_string(call + 1) + (brief.count(line) ? brief.at(line) : line);
    }
  }
  return seen.substr(seen.empty() ? 0 : 1);
}

// Each row: the calls, "|", then the events they give. Any call that is not
// active restarts the count to a start, any that is not inactive the count to
// an end; undetermined and absent samples never end a candidate.
TEST(MeetingActivity, StartsOnTheThirdAndEndsOnTheEighthContraryCall) {
  // clang-format off
  const char* table[] = {
      "MMMMMM|3+zoom", "AAUAAIAA-AAA|12+zoom", "AAAUUUUUUUU--------|3+zoom",
      "AAAIIIIIIIAIIIIIIIUIIIIIII-IIIIIIII|3+zoom 35-zoom", "AAAIIIIIIIIAAA|3+zoom 11-zoom 14+zoom",
      "BB-BBB|6+zoom 6+teams", "ABBTIIIIIIII|3+zoom 4+teams 11-zoom 12-teams"};
  // clang-format on
  for (std::string row : table) {
    std::size_t bar = row.find('|');
    EXPECT_EQ(run(row.substr(0, bar)), row.substr(bar + 1)) << row;
  }
}

// Each row: a sample X, "|", then its verdict for zoom, told by the debouncer
// alone from the calls XXXAAAIIIIIIIX: three X start a candidate when X is
// active; otherwise AAA starts one, which the last X, after seven inactive
// calls, ends when X is inactive and not when it is undetermined. The AND of
// input and output within one process; input and output from different
// processes, where a true outweighs a none; other providers' entries never
// count, and no entry at all is inactive.
TEST(MeetingActivity, CombinesTheProcessesOfAProviderInThreeValues) {
  const std::map<std::string, std::string> verdicts = {
      {"3+zoom", "active"}, {"6+zoom 14-zoom", "inactive"}, {"6+zoom", "undetermined"}};
  // clang-format off
  const char* table[] = {
      "Ztt|active", "Ztn|undetermined", "Ztf|inactive", "Znt|undetermined", "Znn|undetermined",
      "Znf|inactive", "Zft|inactive", "Zfn|inactive", "Zff|inactive",
      "Ztf Zft|active", "Znt Ztt|active", "Znf Ztn Zft|active", "Zfn Zfn|inactive",
      "Znt Zft|undetermined", "Ttf Zft|inactive", "|inactive", "-|undetermined"};
  // clang-format on
  for (std::string row : table) {
    std::size_t bar = row.find('|');
    std::string events = run("XXXAAAIIIIIIIX", row.substr(0, bar));
    EXPECT_EQ(verdicts.count(events) ? verdicts.at(events) : events, row.substr(bar + 1)) << row;
  }
}

}  // namespace
