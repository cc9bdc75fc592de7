// nookview_floor: the system calls that nookview makes for one request, in
// the same order and with the same flags, in a tight loop in one process.
// What nookview does beyond this (pipes, waking up, its own checks in user
// space) is what separates its throughput from this floor.
//
//   nookview_floor --root DIR --path FILE --requests N [--landlock on|off]
//
// Per request, for FILE with d directories in its path:
//   read 2 bytes, then as many bytes as FILE's name, from /dev/zero (nookview
//     reads the frame header and the path from its input pipe);
//   root check: openat2 of the absolute root, fstat, close;
//   each of the d directory prefixes: openat2 beneath the root, fstat, close;
//   openat2 O_PATH of FILE, fstat, close (identity by name);
//   openat2 of FILE for reading, fstat (link count), fstat (identity),
//     fcntl F_SETSIG, fcntl F_SETLEASE read, fcntl F_SETLEASE unlock (the
//     lease that proves no one has the file open for writing),
//     read until end of file, fstat (identity after reading);
//   openat2 O_PATH of FILE, fstat, close; the d prefixes again; the root
//     check again; close FILE;
//   write the 3-byte reply header, then the data, to /dev/null (nookview
//     writes both to its output pipe).
// That is 26 + 6d system calls. By default it first restricts itself with
// Landlock as nookview does. Prints one "key=value ..." line.
#include <fcntl.h>
#include <linux/openat2.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "floor_landlock.h"

namespace {

// nookview's flags, one for one.
constexpr uint64_t kNoLinks = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
constexpr uint64_t kBeneath = kNoLinks | RESOLVE_BENEATH | RESOLVE_NO_XDEV;
constexpr uint64_t kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr uint64_t kFileFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
constexpr uint64_t kStatFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
constexpr size_t kDataBufferSize = 8001;

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "nookview_floor: %s\n", what);
  exit(1);
}

int open_with(int dir, const char* path, uint64_t flags, uint64_t resolve) {
  open_how how = {};
  how.flags = flags;
  how.resolve = resolve;
  return static_cast<int>(syscall(SYS_openat2, dir, path, &how, sizeof how));
}

struct stat status_of(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) fail("fstat failed");
  return st;
}

void check_and_close(int fd) {
  if (fd < 0) fail("an open failed");
  status_of(fd);
  close(fd);
}

void check_root(const char* root_path) {
  check_and_close(open_with(AT_FDCWD, root_path, kDirectoryFlags, kNoLinks));
}

void check_prefixes(int root, std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    path[slash] = '\0';
    check_and_close(open_with(root, path.c_str(), kDirectoryFlags, kBeneath));
    path[slash] = '/';
  }
}

void check_by_name(int root, const std::string& path) {
  check_and_close(open_with(root, path.c_str(), kStatFlags, kBeneath));
}

size_t serve(int root, const char* root_path, std::string& path, int in, int out) {
  static unsigned char frame[1024];
  static unsigned char data[kDataBufferSize];
  if (read(in, frame, 2) != 2 ||
      read(in, frame, path.size()) != static_cast<ssize_t>(path.size())) {
    fail("reading /dev/zero failed");
  }
  check_root(root_path);
  check_prefixes(root, path);
  check_by_name(root, path);
  int file = open_with(root, path.c_str(), kFileFlags, kBeneath);
  if (file < 0 || status_of(file).st_nlink != 1) fail("the file cannot be opened");
  off_t size = status_of(file).st_size;
  if (fcntl(file, F_SETSIG, SIGURG) != 0 || fcntl(file, F_SETLEASE, F_RDLCK) != 0 ||
      fcntl(file, F_SETLEASE, F_UNLCK) != 0) {
    fail("the read lease was refused");
  }
  size_t total = 0;
  for (ssize_t got;
       total < kDataBufferSize && (got = read(file, data + total, kDataBufferSize - total)) > 0;) {
    total += static_cast<size_t>(got);
  }
  if (static_cast<off_t>(total) != size || status_of(file).st_size != size) fail("size changed");
  check_by_name(root, path);
  check_prefixes(root, path);
  check_root(root_path);
  close(file);
  const unsigned char header[3] = {0, static_cast<unsigned char>(total >> 8),
                                   static_cast<unsigned char>(total & 0xFF)};
  if (write(out, header, 3) != 3 || write(out, data, total) != static_cast<ssize_t>(total)) {
    fail("writing /dev/null failed");
  }
  return total;
}

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

// Under Landlock the process cannot open /proc, where the leak checker of a
// sanitizer build lists the threads it must stop at exit, so the check would
// fail every run; the floor keeps no heap memory to check. Other builds never
// call this.
extern "C" const char* __asan_default_options() {
  return "detect_leaks=0";
}

int main(int argc, char** argv) {
  std::string root_path;
  std::string path;
  long requests = -1;
  bool landlock = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--root") == 0) {
      root_path = argv[i + 1];
    } else if (strcmp(argv[i], "--path") == 0) {
      path = argv[i + 1];
    } else if (strcmp(argv[i], "--requests") == 0) {
      requests = strtol(argv[i + 1], nullptr, 10);
    } else if (strcmp(argv[i], "--landlock") == 0) {
      landlock = strcmp(argv[i + 1], "off") != 0;
    }
  }
  if (root_path.empty() || path.empty() || requests < 0 || argc % 2 == 0) {
    fprintf(stderr,
            "usage: nookview_floor --root DIR --path FILE --requests N [--landlock on|off]\n");
    return 2;
  }
  int in = open("/dev/zero", O_RDONLY | O_CLOEXEC);
  int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int root = open_with(AT_FDCWD, root_path.c_str(), kDirectoryFlags, kNoLinks);
  if (in < 0 || out < 0 || root < 0) fail("cannot open /dev/zero, /dev/null or the root");
  if (landlock && !bench::restrict_like_nookview(root)) fail("Landlock refused the restriction");

  timespec began;
  timespec ended;
  clock_gettime(CLOCK_MONOTONIC, &began);
  for (long i = 0; i < requests; ++i) serve(root, root_path.c_str(), path, in, out);
  clock_gettime(CLOCK_MONOTONIC, &ended);

  double elapsed = static_cast<double>(ended.tv_sec - began.tv_sec) +
                   static_cast<double>(ended.tv_nsec - began.tv_nsec) / 1e9;
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("requests=%ld seconds=%.6f per_second=%.1f user_s=%.6f system_s=%.6f maxrss_kib=%ld\n",
         requests, elapsed, elapsed > 0 ? static_cast<double>(requests) / elapsed : 0,
         seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss);
  return 0;
}
