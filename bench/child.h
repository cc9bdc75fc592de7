// Children of the benchmark host: started with pipes on their standard input
// and output, reaped with the kernel's resource account.
#pragma once

#include <stddef.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

struct Child {
  pid_t pid = -1;
  int to = -1;    // its standard input
  int from = -1;  // its standard output
  // A page shared with the child, where it writes the monotonic time just
  // before its execve. Valid once anything has arrived from the child.
  volatile long long* exec_ns = nullptr;
};

struct Reaped {
  int status = 0;  // as from wait4
  rusage usage = {};
};

long long now_ns();

// Starts argv (argv[0] is a path) with pipes on descriptors 0 and 1 and
// standard error inherited. fork, not posix_spawn: the child notes the
// moment just before execve, so start-up timings begin at exec.
bool spawn(const std::vector<std::string>& argv, Child* child);

// Closes whatever of our pipe ends is still open and waits for the child.
bool reap(Child* child, Reaped* reaped);

// The high-water mark of the child's resident memory since its exec (VmHWM),
// in KiB; -1 when it cannot be read.
long peak_resident_kib(pid_t pid);

bool write_all(int fd, const void* bytes, size_t count);
bool read_exact(int fd, void* buffer, size_t count);

void close_fd(int* fd);

}  // namespace bench
