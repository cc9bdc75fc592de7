// The platform layer on Darwin. The kernel enforces each guarantee inside the
// one call: O_NOFOLLOW_ANY and AT_SYMLINK_NOFOLLOW_ANY refuse a symbolic link
// in any component, O_RESOLVE_BENEATH refuses to leave the starting directory
// (EACCES), and renameatx_np with RENAME_EXCL never replaces.
//
// Released kernels differ (apple-oss-distributions/xnu, at its release tags):
// O_RESOLVE_BENEATH first appears in xnu-11417 (macOS 15.4), fstatat there
// still rejects AT_RESOLVE_BENEATH with EINVAL, and ENOTCAPABLE and O_UNIQUE
// do not exist; macOS 26, whose source is not published, refuses an escape
// with errno 107. What the running kernel does is found out once, and judged
// in darwin_lookup.cc; what is taken from file and volume records, in
// darwin_storage.cc. The Linux build tests both.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "darwin_lookup.h"
#include "darwin_storage.h"

// Values documented for Darwin, for SDKs that predate them. A kernel that
// does not know a flag either rejects it or ignores it; an ignored
// O_RESOLVE_BENEATH lets "/" open, and the confinement probe of reader mode
// then refuses to start.
#ifndef O_NOFOLLOW_ANY
#define O_NOFOLLOW_ANY 0x20000000
#endif
#ifndef O_RESOLVE_BENEATH
#define O_RESOLVE_BENEATH 0x1000
#endif
// Kernels through xnu-11417 do not know O_UNIQUE: there 0x2000 is the
// kernel's own FDEFER, which open drops from the descriptor's flags. The
// single-link rule never rests on it: open_file_beneath tests the link count
// of what it opened (record B), and records A, C and D test it again.
#ifndef O_UNIQUE
#define O_UNIQUE 0x2000
#endif
#ifndef AT_SYMLINK_NOFOLLOW_ANY
#define AT_SYMLINK_NOFOLLOW_ANY 0x0800
#endif
#ifndef AT_RESOLVE_BENEATH
#define AT_RESOLVE_BENEATH 0x2000
#endif
#ifndef RENAME_EXCL
#define RENAME_EXCL 0x00000004
#endif

namespace nookview {
namespace {

// The headers' name for the refusal of an escape; where they lack it, the
// decision takes kDarwinNotCapable (107) in its place.
#ifdef ENOTCAPABLE
constexpr int kNotCapable = ENOTCAPABLE;
#else
constexpr int kNotCapable = kUndefinedErrno;
#endif

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW_ANY;
constexpr int kBeneathDirectoryFlags = kDirectoryFlags | O_RESOLVE_BENEATH;
constexpr int kBeneathFileFlags =
    O_RDONLY | O_NONBLOCK | O_RESOLVE_BENEATH | O_UNIQUE | O_CLOEXEC | O_NOFOLLOW_ANY;
constexpr int kBeneathStatFlags = AT_SYMLINK_NOFOLLOW_ANY | AT_RESOLVE_BENEATH;
// Where fstatat does not know AT_RESOLVE_BENEATH. This still cannot leave the
// starting directory: every path that reaches a beneath stat has passed the
// component rule (no "." or ".." component, no leading '/', no empty
// component), so it can only descend, and no symbolic link is followed
// anywhere in it. The file itself is then opened with O_RESOLVE_BENEATH.
constexpr int kComponentRuleStatFlags = AT_SYMLINK_NOFOLLOW_ANY;

static_assert(kDirectoryFlags == 0x21100000);
static_assert(kBeneathDirectoryFlags == 0x21101000);
static_assert(kBeneathFileFlags == 0x21003004);
static_assert(kBeneathStatFlags == 0x2800);
static_assert(kComponentRuleStatFlags == 0x0800);

// The flags of every beneath stat, decided by the first one of the process
// (whether the kernel knows AT_RESOLVE_BENEATH does not change while it runs).
int beneath_stat_flags = 0;

int open_at(int dir, const char* path, int flags) {
  for (;;) {
    int fd = openat(dir, path, flags);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// The outcome of a beneath-directory open; a descriptor is closed at once.
int probe_open(int dir, const char* path) {
  int fd = open_at(dir, path, kBeneathDirectoryFlags);
  if (fd < 0) return errno;
  close(fd);
  return kSucceeded;
}

int stat_flags(int dir) {
  if (beneath_stat_flags == 0) {
    struct stat st;
    int probe = fstatat(dir, ".", &st, kBeneathStatFlags) == 0 ? kSucceeded : errno;
    beneath_stat_flags = darwin_beneath_stat(probe) == BeneathStat::kernel_confined
                             ? kBeneathStatFlags
                             : kComponentRuleStatFlags;
  }
  return beneath_stat_flags;
}

FileType file_type(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return FileType::regular;
    case S_IFDIR:
      return FileType::directory;
    case S_IFLNK:
      return FileType::symbolic_link;
    default:
      return FileType::other;
  }
}

void fill(const struct stat& st, FileStatus* status) {
  // st_dev is a signed 32-bit value: widened with its sign, taken as unsigned.
  status->device = static_cast<uint64_t>(static_cast<int64_t>(st.st_dev));
  status->inode = static_cast<uint64_t>(st.st_ino);
  status->type = file_type(st.st_mode);
  status->link_count = static_cast<uint64_t>(st.st_nlink);
  status->size = static_cast<int64_t>(st.st_size);
  status->modified_seconds = static_cast<int64_t>(st.st_mtimespec.tv_sec);
  status->modified_nanoseconds = static_cast<int64_t>(st.st_mtimespec.tv_nsec);
  status->changed_seconds = static_cast<int64_t>(st.st_ctimespec.tv_sec);
  status->changed_nanoseconds = static_cast<int64_t>(st.st_ctimespec.tv_nsec);
  status->dataless = darwin_dataless(st.st_flags);
}

}  // namespace

int open_directory(const char* absolute_path) {
  for (;;) {
    int fd = open(absolute_path, kDirectoryFlags);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

int open_directory_beneath(int dir, const char* path) {
  return open_at(dir, path, kBeneathDirectoryFlags);
}

bool lookups_confined_beneath(int root) {
  int parent = probe_open(root, "..");
  int absolute = probe_open(root, "/");
  return darwin_lookups_confined(parent, absolute, kNotCapable);
}

int open_file_beneath(int dir, const char* path, FileStatus* opened) {
  int fd = open_at(dir, path, kBeneathFileFlags);
  if (fd < 0) return -1;
  if (!stat_descriptor(fd, opened) || opened->link_count != 1) {
    close(fd);
    errno = EMLINK;
    return -1;
  }
  return fd;
}

// Darwin has file leases too (F_SETLEASE), but nookview does not rely on
// them there: the time comparisons before and after the read stay the only
// test for writers.
WriterWatch watch_for_writers(int) {
  return WriterWatch::unavailable;
}

bool watch_still_held(int) {
  return false;
}

bool stat_descriptor(int fd, FileStatus* status) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  fill(st, status);
  return true;
}

bool stat_beneath(int dir, const char* path, FileStatus* status) {
  struct stat st;
  if (fstatat(dir, path, &st, stat_flags(dir)) != 0) return false;
  fill(st, status);
  return true;
}

bool on_local_file_system(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  return darwin_local_volume(fs.f_flags, fs.f_flags_ext, fs.f_fstypename);
}

RenameOutcome rename_exclusive(int from_dir, const char* from_name, int to_dir,
                               const char* to_name) {
  for (;;) {
    if (renameatx_np(from_dir, from_name, to_dir, to_name, RENAME_EXCL) == 0) {
      return RenameOutcome::moved;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV) return RenameOutcome::cross_device;
    if (errno == EEXIST) return RenameOutcome::name_taken;
    return RenameOutcome::failed;
  }
}

// Darwin offers no self-restriction that nookview uses: the confined opens
// are the whole confinement there.
bool restrict_to_root(int) {
  return true;
}

bool restrict_to_publish(int, int) {
  return true;
}

}  // namespace nookview
