#include "meeting_activity.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace {

// One call's sample as blank-separated entries "Pio": P is Z (zoom) or T
// (teams); i and o are input and output, t true, f false, n none (unread).
// "-" alone is an absent sample, "" an empty one.
AudioSample parse(const std::string& text) {
  if (text == "-") return std::nullopt;
  auto state = [](char c) { return c == 'n' ? std::nullopt : std::optional<bool>(c == 't'); };
  std::vector<AudioProcessActivity> entries;
  std::istringstream words(text);
  for (std::string w; words >> w;) {
    auto provider = w[0] == 'Z' ? MeetingProvider::zoom : MeetingProvider::teams;
    entries.emplace_back(provider, state(w[1]), state(w[2]));
  }
  return entries;
}

const std::map<std::string, std::string> brief = {
    {"{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"zoom\"}\n", "+zoom"},
    {"{\"version\":1,\"type\":\"candidate-ended\",\"provider\":\"zoom\"}\n", "-zoom"},
    {"{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"teams\"}\n", "+teams"},
    {"{\"version\":1,\"type\":\"candidate-ended\",\"provider\":\"teams\"}\n", "-teams"}};

// The events of one call per sample, as "3+zoom 11-zoom": the call, then
// the event's line in brief.
std::string run(const std::vector<std::string>& samples) {
  MeetingActivity activity;
  std::string seen;
  for (std::size_t call = 0; call < samples.size(); ++call) {
    for (const MeetingActivityEvent& event : activity.observe(parse(samples[call]))) {
      std::string line = event.line();
      seen += (seen.empty() ? "" : " ") + std::to_string(call + 1) +
              (brief.count(line) ? brief.at(line) : line);
    }
  }
  return seen;
}

// A call per letter: A zoom active, i zoom silent, U zoom undetermined, T
// teams active, B both active, M four active zoom processes, I no process,
// - no sample.
std::vector<std::string> calls(const std::string& letters) {
  // clang-format off
  const std::map<char, std::string> samples = {{'A', "Ztt"}, {'i', "Zff"}, {'U', "Ztn"},
      {'T', "Ttt"}, {'B', "Ztt Ttt"}, {'M', "Ztt Ztt Ztt Ztt"}, {'I', ""}, {'-', "-"}};
  // clang-format on
  std::vector<std::string> result;
  for (char letter : letters) result.push_back(samples.at(letter));
  return result;
}

// Each row: the calls, "|", then the events they give.
TEST(MeetingActivity, StartsOnTheThirdAndEndsOnTheEighthContraryCall) {
  // clang-format off
  const char* table[] = {
      "AA|", "AAA|3+zoom", "AAAAAA|3+zoom", "AAUAAA|6+zoom", "AAIAAA|6+zoom", "AA-AAA|6+zoom",
      "MM|", "MMM|3+zoom", "AAAUUUUUA|3+zoom", "AAA-----------|3+zoom",
      "AAAIIIIIIII|3+zoom 11-zoom", "AAAiiiiiiii|3+zoom 11-zoom",
      "AAAIIIIIIIAIIIIIIII|3+zoom 19-zoom", "AAAIIIIIIIUIIIIIIII|3+zoom 19-zoom",
      "AAAIIIIIII-IIIIIIII|3+zoom 19-zoom", "AAAIIIIIIIIAAA|3+zoom 11-zoom 14+zoom",
      "IIIIIIIIII|", "UUUUUUUUUU|", "AUAUAUAUAU|", "----------|", "BB-B|",
      "TTT|3+teams", "BBB|3+zoom 3+teams", "ABBTIIIIIIII|3+zoom 4+teams 11-zoom 12-teams"};
  // clang-format on
  for (std::string row : table) {
    std::size_t bar = row.find('|');
    EXPECT_EQ(run(calls(row.substr(0, bar))), row.substr(bar + 1)) << row;
  }
}

// What one sample says about zoom, told by the debouncer alone: active when
// three in a row start a candidate; inactive when it ends one after seven
// inactive calls; undetermined otherwise.
std::string zoomVerdict(const std::string& sample) {
  if (run({sample, sample, sample}) == "3+zoom") return "active";
  std::vector<std::string> ending = calls("AAAIIIIIII");
  ending.push_back(sample);
  return run(ending) == "3+zoom 11-zoom" ? "inactive" : "undetermined";
}

// Each row: a sample, "|", then its verdict for zoom. The AND of input and
// output within one process; input and output from different processes, where
// a true outweighs a none; other providers' entries never count, and no entry
// at all is inactive.
TEST(MeetingActivity, CombinesTheProcessesOfAProviderInThreeValues) {
  // clang-format off
  const char* table[] = {
      "Ztt|active", "Ztn|undetermined", "Ztf|inactive", "Znt|undetermined", "Znn|undetermined",
      "Znf|inactive", "Zft|inactive", "Zfn|inactive", "Zff|inactive",
      "Ztf Zft|active", "Znt Ztt|active", "Znf Ztn Zft|active", "Zfn Zfn|inactive",
      "Znt Zft|undetermined", "Ttt|inactive", "Ttf Zft|inactive", "|inactive", "-|undetermined"};
  // clang-format on
  for (std::string row : table) {
    std::size_t bar = row.find('|');
    EXPECT_EQ(zoomVerdict(row.substr(0, bar)), row.substr(bar + 1)) << row;
  }
}

}  // namespace
