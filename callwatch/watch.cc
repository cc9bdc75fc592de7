#include "watch.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "meeting_activity.h"

namespace {

using Clock = std::chrono::steady_clock;

int messageDescriptor = STDERR_FILENO;

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

}  // namespace

void sendMessagesTo(int fd) {
  messageDescriptor = fd;
}

void fail(std::string_view message, int code) {
  std::string line(message);
  line += '\n';
  while (write(messageDescriptor, line.data(), line.size()) < 0 && errno == EINTR) {
  }
  std::exit(code);
}

void WatchTick::run() {
  AudioSample sample = sample_();
  if (sample) {
    missedSamples = 0;
    if (!ready) {
      emit(MeetingActivityEvent(MeetingActivityEvent::Kind::ready));
      ready = true;
    }
  } else if (++missedSamples == missedSampleLimit) {
    fail("Core Audio process activity could not be read.", 75);
  }
  for (const MeetingActivityEvent& event : observe_(sample)) emit(event);
}

Clock::time_point nextDue(Clock::time_point due, Clock::time_point now,
                          std::chrono::nanoseconds period) {
  due += period;
  if (due <= now) due += (now - due) / period * period;
  return due;
}

void runWatchLoop(const std::function<void()>& tick, std::chrono::nanoseconds period) {
  Clock::time_point due = Clock::now();
  for (;;) {
    awaitTick(due);
    tick();
    due = nextDue(due, Clock::now(), period);
  }
}

void watchCommand(std::span<const char* const> arguments, const WatchPlatform& platform,
                  std::chrono::nanoseconds period) {
  if (arguments.size() != 1 || std::string_view(arguments[0]) != "--watch") {
    fail("Usage: tolvan-callwatch --watch", 64);
  }
  if (!platform.isSupported()) fail("Core Audio process activity is unavailable on this Mac.", 69);
  MeetingActivity activity;
  WatchTick tick(platform.sample,
                 [&activity](const AudioSample& sample) { return activity.observe(sample); });
  runWatchLoop([&tick] { tick.run(); }, period);
}
