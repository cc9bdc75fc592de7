// The platform layer on Linux. Confinement comes from openat2(2): its
// resolve flags make the kernel refuse symbolic links, escapes from the
// starting directory and mount crossings within the one lookup, so nothing
// can be swapped between a check and the use. There is no fallback: without
// openat2 (ENOSYS, or EPERM from a seccomp filter) every open fails and
// reader mode refuses to start.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>  // renameat2, RENAME_NOREPLACE (glibc 2.28 and later)
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace nookview {
namespace {

constexpr uint64_t kNoLinks = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
// A bind mount keeps the device number of the mounted tree, so comparing
// st_dev alone would not notice one; refusing every mount crossing does.
constexpr uint64_t kBeneath = kNoLinks | RESOLVE_BENEATH | RESOLVE_NO_XDEV;

constexpr uint64_t kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr uint64_t kFileFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
constexpr uint64_t kStatFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

int open_with(int dir, const char* path, uint64_t flags, uint64_t resolve) {
  open_how how = {};
  how.flags = flags;
  how.resolve = resolve;
  for (;;) {
    long fd = syscall(SYS_openat2, dir, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EINTR) return -1;
  }
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

// Network and cluster file systems, FUSE, and virtual-machine shared folders.
constexpr uint64_t kRemoteTypes[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x00C36400,  // Ceph
    0x01021997,  // 9P
    0x5346414F,  // AFS
    0x6B414653,  // kAFS
    0x65735546,  // FUSE (also fuseblk)
    0x73757245,  // Coda
    0x564C,      // NCP
    0x7461636F,  // OCFS2
    0x01161970,  // GFS2
    0x0BD00BD0,  // Lustre
    0x47504653,  // GPFS
    0x20030528,  // OrangeFS
    0x19830326,  // BeeGFS
    0xAAD7AAEA,  // PanFS
    0xBEEFDEAD,  // StorNext
    0x786F4256,  // VirtualBox shared folders
    0xBACBACBC,  // VMware shared folders
    0x7C7C6673,  // Parallels shared folders
};

bool is_remote_file_system_type(uint64_t magic) {
  for (uint64_t remote : kRemoteTypes) {
    if (magic == remote) return true;
  }
  return false;
}

}  // namespace

int open_directory(const char* absolute_path) {
  return open_with(AT_FDCWD, absolute_path, kDirectoryFlags, kNoLinks);
}

int open_directory_beneath(int dir, const char* path) {
  return open_with(dir, path, kDirectoryFlags, kBeneath);
}

int open_file_beneath(int dir, const char* path, FileStatus* opened) {
  int fd = open_with(dir, path, kFileFlags, kBeneath);
  if (fd < 0) return -1;
  // Linux has no open flag that refuses a second hard link, so the link
  // count of what was opened is tested on the descriptor itself.
  if (!stat_descriptor(fd, opened) || opened->link_count != 1) {
    close(fd);
    errno = EMLINK;
    return -1;
  }
  return fd;
}

// A lease breaker (a process opening the file for writing, or truncating it)
// is made to wait until the holder gives the lease back or lease-break-time
// passes; meanwhile F_GETLEASE answers the type the lease is being broken to.
// The kernel also signals the holder (SIGIO): reader mode ignores that
// signal, and asks F_GETLEASE instead.
WriterWatch watch_for_writers(int fd) {
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return WriterWatch::held;
  return errno == EAGAIN ? WriterWatch::writer_open : WriterWatch::unavailable;
}

bool watch_still_held(int fd) {
  return fcntl(fd, F_GETLEASE) == F_RDLCK;
}

bool stat_descriptor(int fd, FileStatus* status) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  status->device = static_cast<uint64_t>(st.st_dev);
  status->inode = static_cast<uint64_t>(st.st_ino);
  status->type = file_type(st.st_mode);
  status->link_count = static_cast<uint64_t>(st.st_nlink);
  status->size = static_cast<int64_t>(st.st_size);
  status->modified_seconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  status->modified_nanoseconds = static_cast<int64_t>(st.st_mtim.tv_nsec);
  status->changed_seconds = static_cast<int64_t>(st.st_ctim.tv_sec);
  status->changed_nanoseconds = static_cast<int64_t>(st.st_ctim.tv_nsec);
  status->dataless = false;
  return true;
}

bool stat_beneath(int dir, const char* path, FileStatus* status) {
  // An O_PATH descriptor names the object without opening it for reading:
  // no FIFO blocks, no device is touched, and a final link is not followed.
  int fd = open_with(dir, path, kStatFlags, kBeneath);
  if (fd < 0) return false;
  bool ok = stat_descriptor(fd, status);
  close(fd);
  return ok;
}

bool on_local_file_system(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  return !is_remote_file_system_type(static_cast<uint64_t>(fs.f_type) & 0xFFFFFFFFu);
}

bool lookups_confined_beneath(int root) {
  int parent = open_with(root, "..", kDirectoryFlags, kBeneath);
  if (parent < 0) return errno == EXDEV;
  close(parent);
  return false;
}

RenameOutcome rename_exclusive(int from_dir, const char* from_name, int to_dir,
                               const char* to_name) {
  for (;;) {
    if (renameat2(from_dir, from_name, to_dir, to_name, RENAME_NOREPLACE) == 0) {
      return RenameOutcome::moved;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV) return RenameOutcome::cross_device;
    if (errno == EEXIST) return RenameOutcome::name_taken;
    // EINVAL here means the file system (or, from glibc, a kernel without
    // renameat2) cannot honour RENAME_NOREPLACE; glibc never falls back to a
    // plain rename, which could replace an entry: the move is refused.
    return RenameOutcome::failed;
  }
}

}  // namespace nookview
