#include "meeting_activity.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace {

// One call's sample as blank-separated entries "Pio": P is Z (zoom) or T
// (teams); i and o are input and output, t true, f false, n none (unread).
// "-" alone is an absent sample, "" an empty present one.
AudioSample parse(const std::string& text) {
  if (text == "-") return std::nullopt;
  auto state = [](char c) -> std::optional<bool> {
    if (c == 'n') return std::nullopt;
    return c == 't';
  };
  std::vector<AudioProcessActivity> entries;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    auto provider = word[0] == 'Z' ? MeetingProvider::zoom : MeetingProvider::teams;
    entries.emplace_back(provider, state(word[1]), state(word[2]));
  }
  return entries;
}

// A call per letter: A zoom active, i zoom silent, U zoom undetermined, T
// teams active, B both active, M four active zoom processes, I nothing, -
// absent.
const std::map<char, std::string> calls = {{'A', "Ztt"}, {'i', "Zff"},     {'U', "Ztn"},
                                           {'T', "Ttt"}, {'B', "Ztt Ttt"}, {'M', "Ztt Ztt Ztt Ztt"},
                                           {'I', ""},    {'-', "-"}};

// The candidate lines as "+zoom", "-teams" and so on; anything else as it is.
std::string brief(const std::string& line) {
  for (const char* provider : {"zoom", "teams"}) {
    for (const char* sign : {"+", "-"}) {
      std::string type = *sign == '+' ? "started" : "ended";
      if (line ==
          R"({"version":1,"type":"candidate-)" + type + R"(","provider":")" + provider + "\"}\n") {
        return sign + std::string(provider);
      }
    }
  }
  return line;
}

// The events of a run of samples, one call each, as "3+zoom 11-zoom": call
// number and brief line.
std::string run(const std::vector<std::string>& samples) {
  MeetingActivity activity;
  std::string seen;
  for (std::size_t call = 0; call < samples.size(); ++call) {
    for (const MeetingActivityEvent& event : activity.observe(parse(samples[call]))) {
      seen += (seen.empty() ? "" : " ") + std::to_string(call + 1) + brief(event.line());
    }
  }
  return seen;
}

std::vector<std::string> samples(const std::string& letters) {
  std::vector<std::string> result;
  for (char letter : letters) result.push_back(calls.at(letter));
  return result;
}

TEST(MeetingActivity, StartsOnTheThirdAndEndsOnTheEighthContraryCall) {
  const std::pair<const char*, const char*> table[] = {
      {"AA", ""},
      {"AAA", "3+zoom"},
      {"AAAAAA", "3+zoom"},
      {"AAUAAA", "6+zoom"},
      {"AAIAAA", "6+zoom"},
      {"AA-AAA", "6+zoom"},
      {"MM", ""},
      {"MMM", "3+zoom"},
      {"AAAIIIIIIII", "3+zoom 11-zoom"},
      {"AAAiiiiiiii", "3+zoom 11-zoom"},
      {"AAAIIIIIIIAIIIIIIII", "3+zoom 19-zoom"},
      {"AAAIIIIIIIUIIIIIIII", "3+zoom 19-zoom"},
      {"AAAIIIIIII-IIIIIIII", "3+zoom 19-zoom"},
      {"AAAUUUUUA", "3+zoom"},
      {"AAA-----------", "3+zoom"},
      {"AAAIIIIIIIIAAA", "3+zoom 11-zoom 14+zoom"},
      {"IIIIIIIIII", ""},
      {"UUUUUUUUUU", ""},
      {"AUAUAUAUAU", ""},
      {"----------", ""},
      {"TTT", "3+teams"},
      {"BBB", "3+zoom 3+teams"},
      {"ABBTIIIIIIII", "3+zoom 4+teams 11-zoom 12-teams"},
      {"BB-B", ""},
  };
  for (auto [letters, events] : table)
    EXPECT_EQ(run(samples(letters)), events) << "calls " << letters;
}

// What one sample says about zoom, told by the debouncer alone: active when
// three in a row start a candidate; inactive when it ends one after seven
// inactive calls; undetermined otherwise.
std::string zoomVerdict(const std::string& sample) {
  if (run({sample, sample, sample}) == "3+zoom") return "active";
  std::vector<std::string> ending = samples("AAAIIIIIII");
  ending.push_back(sample);
  return run(ending) == "3+zoom 11-zoom" ? "inactive" : "undetermined";
}

TEST(MeetingActivity, CombinesProcessesOfOneProviderInThreeValues) {
  const std::pair<const char*, const char*> table[] = {
      // The AND of input and output within one process.
      {"Ztt", "active"},
      {"Ztn", "undetermined"},
      {"Ztf", "inactive"},
      {"Znt", "undetermined"},
      {"Znn", "undetermined"},
      {"Znf", "inactive"},
      {"Zft", "inactive"},
      {"Zfn", "inactive"},
      {"Zff", "inactive"},
      // Input and output may come from different processes; a true outweighs
      // a none within a summary.
      {"Ztf Zft", "active"},
      {"Znt Ztt", "active"},
      {"Znf Ztn Zft", "active"},
      {"Zfn Zfn", "inactive"},
      {"Znt Zft", "undetermined"},
      // Other providers' entries never count; no entry at all is inactive.
      {"Ttt", "inactive"},
      {"Ttf Zft", "inactive"},
      {"", "inactive"},
      {"-", "undetermined"},
  };
  for (auto [sample, verdict] : table) EXPECT_EQ(zoomVerdict(sample), verdict) << sample;
}

}  // namespace
