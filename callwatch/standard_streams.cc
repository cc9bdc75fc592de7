#include "standard_streams.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Opens `path` so that it occupies exactly `fd`.
void openAt(int fd, const char* path, int flags) {
  int opened = open(path, flags);
  if (opened < 0 || opened == fd) return;
  dup2(opened, fd);
  close(opened);
}

}  // namespace

void reserveStandardDescriptors() {
  const int modes[] = {O_RDONLY, O_RDONLY, O_WRONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (!isOpen(fd)) openAt(fd, "/dev/null", modes[fd]);
  }
}

// libpulse logs warnings to standard error, and the parent must see nothing
// there but the watcher's own messages. Rather than trusting every library
// call site, descriptor 2 itself goes to /dev/null. Standard output needs no
// such care: the libraries never write to it, and events must go there.
int isolateStandardError() {
  int messages = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (messages < 0) return STDERR_FILENO;
  int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (sink < 0 || dup2(sink, STDERR_FILENO) < 0) {
    if (sink >= 0) close(sink);
    close(messages);
    return STDERR_FILENO;
  }
  close(sink);
  return messages;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}
