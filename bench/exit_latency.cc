#include "exit_latency.h"

#include <errno.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "child.h"

namespace bench {
namespace {

bool read_line(int fd) {
  char byte = 0;
  while (byte != '\n') {
    ssize_t got = read(fd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
  }
  return true;
}

void pause_ms(long milliseconds) {
  timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

bool measure_exit_after_close(const std::vector<std::string>& command, int runs,
                              Summary* milliseconds, std::string* error) {
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    Child child;
    if (!spawn(command, &child)) {
      *error = "cannot start " + command[0];
      return false;
    }
    bool ready = read_line(child.from);
    // 0, 0.37, 0.74, 0.11, ... seconds: spread over the one-second cycle.
    if (ready) pause_ms((run * 370L) % 1000);
    long long closed = now_ns();
    close_fd(&child.to);
    Reaped reaped;
    bool reaped_ok = reap(&child, &reaped);
    long long gone = now_ns();
    if (!ready || !reaped_ok || !WIFEXITED(reaped.status) || WEXITSTATUS(reaped.status) != 0) {
      *error = command[0] + " did not write its first line and exit 0 on closed input";
      return false;
    }
    samples.push_back(static_cast<double>(gone - closed) / 1e6);
  }
  *milliseconds = summarize(samples);
  return true;
}

}  // namespace bench
