#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace bench {

long long now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

bool spawn(const std::vector<std::string>& argv, Child* child) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  void* shared =
      mmap(nullptr, sizeof(long long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_t pid = shared == MAP_FAILED ? -1 : fork();
  if (pid == 0) {
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0) _exit(127);
    *static_cast<volatile long long*>(shared) = now_ns();
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    if (shared != MAP_FAILED) munmap(shared, sizeof(long long));
    return false;
  }
  child->pid = pid;
  child->to = in[1];
  child->from = out[0];
  child->exec_ns = static_cast<volatile long long*>(shared);
  return true;
}

bool reap(Child* child, Reaped* reaped) {
  close_fd(&child->to);
  close_fd(&child->from);
  if (child->exec_ns != nullptr) {
    munmap(const_cast<long long*>(child->exec_ns), sizeof(long long));
    child->exec_ns = nullptr;
  }
  for (;;) {
    pid_t got = wait4(child->pid, &reaped->status, 0, &reaped->usage);
    if (got == child->pid) break;
    if (got < 0 && errno == EINTR) continue;
    return false;
  }
  child->pid = -1;
  return true;
}

long peak_resident_kib(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  FILE* status = fopen(path, "re");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  fclose(status);
  return kib;
}

bool write_all(int fd, const void* bytes, size_t count) {
  const auto* next = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    ssize_t put = write(fd, next, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    next += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

bool read_exact(int fd, void* buffer, size_t count) {
  auto* next = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    ssize_t got = read(fd, next, count);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    next += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace bench
