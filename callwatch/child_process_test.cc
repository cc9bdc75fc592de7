#include "child_process_test.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

// Appends what is readable; false at end of file.
bool drain(int fd, std::string& into) {
  char buffer[4096];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
  return n > 0;
}

}  // namespace

ChildResult runChild(const std::function<void()>& body, int input,
                     const std::function<void()>& onOutput) {
  int lifeline[2], out[2], err[2];
  if (pipe(lifeline) != 0 || pipe(out) != 0 || pipe(err) != 0) std::abort();
  if (input < 0) input = lifeline[0];
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) std::abort();
  if (child == 0) {
    dup2(input, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // Only the three standard streams: a stray copy of a pipe's write end
    // would keep the child from ever seeing end of file.
    long limit = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (limit > 0 && limit < 65536 ? limit : 65536); ++fd) {
      close(static_cast<int>(fd));
    }
    body();
    _exit(120);
  }
  close(out[1]);
  close(err[1]);
  close(lifeline[0]);

  ChildResult result;
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&result.out, &result.err};
  bool notified = !onOutput;
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    if (std::chrono::steady_clock::now() > giveUp) {
      kill(child, SIGKILL);
      break;
    }
    if (poll(streams, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || !streams[i].revents) continue;
      if (!drain(streams[i].fd, *into[i])) {
        close(streams[i].fd);
        streams[i].fd = -1;
      }
    }
    if (!notified && !result.out.empty()) {
      notified = true;
      onOutput();
    }
  }
  for (const pollfd& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  int status = 0;
  waitpid(child, &status, 0);
  close(lifeline[1]);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}
