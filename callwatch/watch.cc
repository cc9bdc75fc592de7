#include "watch.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "meeting_activity.h"
#include "standard_streams.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr Clock::duration tickPeriod = std::chrono::seconds(1);
constexpr std::int64_t missedSampleLimit = 5;

[[noreturn]] void fail(int messages, std::string_view message, int code) {
  writeAll(messages, std::string(message) + '\n');
  std::exit(code);
}

// Milliseconds for poll() until `due`, rounded up so a wake-up is never early.
int millisecondsUntil(Clock::time_point due) {
  Clock::time_point now = Clock::now();
  if (due <= now) return 0;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
  return static_cast<int>(std::min<long long>(wait, 60'000));
}

// Waits until `due`, ending the process as soon as the parent writes to or
// closes standard input. The parent is checked even when a tick is already
// due, so a long tick cannot delay letting go.
void awaitTick(Clock::time_point due) {
  for (;;) {
    pollfd parent = {STDIN_FILENO, POLLIN, 0};
    int ready = poll(&parent, 1, millisecondsUntil(due));
    if (ready > 0 && (parent.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) std::exit(0);
    if (Clock::now() >= due) return;
  }
}

// The deadline after a tick that was due at `due` and ended at `now`: one
// period later, or, when further firings fell due during the tick, the
// latest of them, so they are merged into one tick run at once.
Clock::time_point nextDue(Clock::time_point due, Clock::time_point now) {
  due += tickPeriod;
  if (due <= now) due += (now - due) / tickPeriod * tickPeriod;
  return due;
}

}  // namespace

void watchCommand(std::span<char* const> arguments, AudioSampler& sampler, int messages) {
  if (arguments.size() != 1 || std::string_view(arguments[0]) != "--watch") {
    fail(messages, "Usage: tolvan-callwatch --watch", 64);
  }
  if (!sampler.isSupported()) {
    fail(messages, "Core Audio process activity is unavailable on this Mac.", 69);
  }
  MeetingActivity activity;
  std::int64_t missedSamples = 0;
  bool ready = false;
  for (Clock::time_point due = Clock::now();; due = nextDue(due, Clock::now())) {
    awaitTick(due);
    AudioSample sample = sampler.sample();
    if (sample) {
      missedSamples = 0;
      if (!ready) emit(MeetingActivityEvent(MeetingActivityEvent::Kind::ready));
      ready = true;
    } else if (++missedSamples == missedSampleLimit) {
      fail(messages, "Core Audio process activity could not be read.", 75);
    }
    for (const MeetingActivityEvent& event : activity.observe(sample)) emit(event);
  }
}
