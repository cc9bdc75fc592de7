#include "watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "child_process_test.h"

namespace {

using namespace std::chrono_literals;
using Kind = MeetingActivityEvent::Kind;

// Exit status of a child whose scripted sampler ran out: every tick before
// went by without ending the process.
constexpr int scriptDone = 3;

const std::string ready = "{\"version\":1,\"type\":\"ready\"}\n";
const std::string zoomStarted =
    "{\"version\":1,\"type\":\"candidate-started\",\"provider\":\"zoom\"}\n";
const std::string teamsEnded =
    "{\"version\":1,\"type\":\"candidate-ended\",\"provider\":\"teams\"}\n";
const std::string couldNotRead = "Core Audio process activity could not be read.\n";
const std::string usage = "Usage: tolvan-callwatch --watch\n";
const std::string unavailable = "Core Audio process activity is unavailable on this Mac.\n";

const AudioSample absent = std::nullopt;
const AudioSample nothingRunning = std::vector<AudioProcessActivity>{};
const AudioSample zoomCall =
    std::vector<AudioProcessActivity>{AudioProcessActivity(MeetingProvider::zoom, true, true)};

Sampler scripted(std::vector<AudioSample> samples) {
  auto next = std::make_shared<std::size_t>(0);
  return [samples, next] {
    if (*next == samples.size()) std::exit(scriptDone);
    return samples[(*next)++];
  };
}

std::vector<AudioSample> repeated(const AudioSample& sample, int times) {
  return std::vector<AudioSample>(static_cast<std::size_t>(times), sample);
}

std::vector<AudioSample> concat(std::initializer_list<std::vector<AudioSample>> parts) {
  std::vector<AudioSample> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Marks every observation on standard output: a present sample gives
// "zoom started", an absent one "teams ended".
std::vector<MeetingActivityEvent> markObservation(const AudioSample& sample) {
  if (sample) return {MeetingActivityEvent(Kind::candidateStarted, MeetingProvider::zoom)};
  return {MeetingActivityEvent(Kind::candidateEnded, MeetingProvider::teams)};
}

std::string times(const std::string& line, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += line;
  return text;
}

struct TickCase {
  const char* name;
  std::vector<AudioSample> samples;
  int status;
  std::string out;
  std::string err;
};

TEST(WatchTick, CountsMissedSamplesAndWritesReadyOnce) {
  const std::string absentTick = teamsEnded;
  const std::string presentTick = zoomStarted;
  const TickCase cases[] = {
      {"present at once", {nothingRunning}, scriptDone, ready + presentTick, ""},
      {"absent on ticks 1 to 4, present on 5", concat({repeated(absent, 4), {nothingRunning}}),
       scriptDone, times(absentTick, 4) + ready + presentTick, ""},
      {"five absent from the start: observe not called on the fifth", repeated(absent, 5), 75,
       times(absentTick, 4), couldNotRead},
      {"four absent, one present, four absent keeps running",
       concat({repeated(absent, 4), {nothingRunning}, repeated(absent, 4)}), scriptDone,
       times(absentTick, 4) + ready + presentTick + times(absentTick, 4), ""},
      {"the count restarts at every present sample",
       concat({repeated(absent, 4), {nothingRunning}, repeated(absent, 5)}), 75,
       times(absentTick, 4) + ready + presentTick + times(absentTick, 4), couldNotRead},
      {"never a second ready",
       {nothingRunning, absent, zoomCall, nothingRunning},
       scriptDone,
       ready + presentTick + absentTick + presentTick + presentTick,
       ""},
  };
  for (const TickCase& c : cases) {
    ChildResult child = runChild([&] {
      WatchTick tick(scripted(c.samples), markObservation);
      for (;;) tick.run();
    });
    EXPECT_EQ(child.status, c.status) << c.name;
    EXPECT_EQ(child.out, c.out) << c.name;
    EXPECT_EQ(child.err, c.err) << c.name;
  }
}

TEST(WatchTick, FailedEventWriteEndsWithStatusOneAndNoMessage) {
  ChildResult child = runChild([] {
    int readOnly = open("/dev/null", O_RDONLY);
    if (readOnly < 0 || dup2(readOnly, 1) < 0) _exit(99);
    WatchTick tick(scripted({nothingRunning}), markObservation);
    tick.run();
  });
  EXPECT_EQ(child.status, 1);
  EXPECT_EQ(child.err, "");
}

struct DueCase {
  std::chrono::milliseconds now;
  std::chrono::milliseconds next;
};

TEST(WatchLoop, FiringsDueDuringALongTickMergeIntoOne) {
  // A tick due at 0 ms with a period of 1000 ms, finishing at `now`.
  const DueCase cases[] = {
      {0ms, 1000ms},    {300ms, 1000ms},  {999ms, 1000ms},    {1000ms, 1000ms},
      {1001ms, 1000ms}, {3500ms, 3000ms}, {10000ms, 10000ms}, {10001ms, 10000ms},
  };
  const std::chrono::steady_clock::time_point start{};
  for (const DueCase& c : cases) {
    EXPECT_EQ(nextDue(start, start + c.now, 1s) - start, c.next) << c.now.count();
  }
}

const char* const watchArgument[] = {"--watch"};

WatchPlatform supported(Sampler sample) {
  return {[] { return true; }, std::move(sample)};
}

[[noreturn]] void watchWith(const WatchPlatform& platform, std::chrono::nanoseconds period) {
  watchCommand(watchArgument, platform, period);
}

TEST(WatchCommand, AnythingButTheOneArgumentIsAUsageError) {
  const std::vector<std::vector<const char*>> commandLines = {
      {},   {"--watch", "--watch"}, {"--Watch"}, {"watch"}, {"-watch"}, {"--watch="},
      {""}, {"--watch", ""},        {"--help"},
  };
  for (bool platformSupported : {true, false}) {
    for (const auto& arguments : commandLines) {
      ChildResult child = runChild([&] {
        watchCommand(arguments, {[platformSupported] { return platformSupported; }, scripted({})},
                     1ms);
      });
      EXPECT_EQ(child.status, 64) << arguments.size();
      EXPECT_EQ(child.err, usage) << arguments.size();
      EXPECT_EQ(child.out, "") << arguments.size();
    }
  }
}

TEST(WatchCommand, UnsupportedPlatformEndsWith69WithoutSampling) {
  ChildResult child = runChild([] { watchWith({[] { return false; }, scripted({})}, 1ms); });
  EXPECT_EQ(child.status, 69);
  EXPECT_EQ(child.err, unavailable);
  EXPECT_EQ(child.out, "");
}

TEST(WatchCommand, FirstTickRunsAtOnceAndEndOfInputEndsWithZero) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  // With an hour between ticks, only an immediate first tick can write
  // "ready" before the helper gives up after 20 seconds.
  ChildResult child = runChild([] { watchWith(supported(scripted({nothingRunning})), 1h); },
                               input[0], [&] { close(input[1]); });
  close(input[0]);
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out, ready);
  EXPECT_EQ(child.err, "");
}

TEST(WatchCommand, ThreeSecondsOfAZoomCallStartACandidate) {
  ChildResult child = runChild([] { watchWith(supported(scripted(repeated(zoomCall, 3))), 1ms); });
  EXPECT_EQ(child.status, scriptDone);
  EXPECT_EQ(child.out, ready + zoomStarted);
}

TEST(WatchCommand, FiveMissedSamplesEndWith75) {
  ChildResult child = runChild([] {
    watchWith(supported(scripted(concat({{nothingRunning}, repeated(absent, 5)}))), 1ms);
  });
  EXPECT_EQ(child.status, 75);
  EXPECT_EQ(child.out, ready);
  EXPECT_EQ(child.err, couldNotRead);
}

TEST(WatchCommand, AByteOnStandardInputEndsWithZeroAndStaysUnread) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(write(input[1], "x", 1), 1);
  ChildResult child =
      runChild([] { watchWith(supported([] { return nothingRunning; }), 10ms); }, input[0]);
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.err, "");
  ASSERT_EQ(fcntl(input[0], F_SETFL, O_NONBLOCK), 0);
  char byte = 0;
  EXPECT_EQ(read(input[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  close(input[0]);
  close(input[1]);
}

TEST(WatchCommand, StandardInputAtEndOfFileEndsWithZero) {
  int null = open("/dev/null", O_RDONLY);
  ASSERT_GE(null, 0);
  ChildResult child =
      runChild([] { watchWith(supported([] { return nothingRunning; }), 10ms); }, null);
  close(null);
  EXPECT_EQ(child.status, 0);
  EXPECT_TRUE(child.out.empty() || child.out == ready) << child.out;
  EXPECT_EQ(child.err, "");
}

}  // namespace
