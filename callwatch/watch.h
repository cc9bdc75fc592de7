// The watch command: checks the command line and the platform, then samples
// once a second on one thread until the parent lets go. The process ends only
// by exit, with one of these statuses:
//   0   standard input became readable or reached end of file
//   1   an event line could not be written (no message)
//   64  "Usage: tolvan-callwatch --watch"
//   69  "Core Audio process activity is unavailable on this Mac."
//   75  "Core Audio process activity could not be read." (fifth missed sample)
// Each message goes to standard error followed by a line feed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "audio_process_activity.h"
#include "meeting_activity_event.h"

inline constexpr std::chrono::nanoseconds tickPeriod = std::chrono::seconds(1);
inline constexpr std::int64_t missedSampleLimit = 5;

// Where fail() writes; standard error unless set. Set once at start-up.
void sendMessagesTo(int fd);

// Writes `message` and a line feed in one write, then exits with `code`. A
// failed write is not reported.
[[noreturn]] void fail(std::string_view message, int code);

using Sampler = std::function<AudioSample()>;
using Observer = std::function<std::vector<MeetingActivityEvent>(const AudioSample&)>;

// One tick: takes a sample, writes "ready" on the first present one, ends the
// process with 75 on the fifth absent one in a row, and otherwise passes the
// sample, absent or not, to `observe` and writes the events it returns.
class WatchTick {
 public:
  WatchTick(Sampler sample, Observer observe)
      : sample_(std::move(sample)), observe_(std::move(observe)) {}

  void run();

 private:
  Sampler sample_;
  Observer observe_;
  std::int64_t missedSamples = 0;
  bool ready = false;
};

// The deadline after a tick that was due at `due` and finished at `now`: one
// period later, or, when further firings fell due during the tick, the latest
// of them, so they are merged into one tick run at once.
std::chrono::steady_clock::time_point nextDue(std::chrono::steady_clock::time_point due,
                                              std::chrono::steady_clock::time_point now,
                                              std::chrono::nanoseconds period);

// Runs `tick` at once and then every `period` until descriptor 0 is readable,
// at end of file, in error or closed; then exits with 0. Never reads it.
[[noreturn]] void runWatchLoop(const std::function<void()>& tick, std::chrono::nanoseconds period);

struct WatchPlatform {
  std::function<bool()> isSupported;
  Sampler sample;
};

// The whole command, given the arguments after the program name: the command
// line is checked before the platform is asked anything.
[[noreturn]] void watchCommand(std::span<const char* const> arguments,
                               const WatchPlatform& platform,
                               std::chrono::nanoseconds period = tickPeriod);
