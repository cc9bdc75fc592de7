// The file-system calls nookview makes, and the guarantees each one gives.
// The core sees the operating system only through this header; one file per
// kernel implements it (platform-linux.cc and sandbox-linux.cc,
// platform-macos.cc).
//
// Every call here either gives its whole guarantee or fails. A kernel that
// cannot enforce a guarantee (an old Linux without openat2, a Darwin without
// O_RESOLVE_BENEATH) makes the call fail, never fall back to a weaker one.
// Every descriptor returned is close-on-exec and belongs to the caller.
// Interrupted calls (EINTR) are repeated inside.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace nookview {

enum class FileType : uint8_t { other, regular, directory, symbolic_link };

// What nookview reads of a stat record, in one shape on every kernel.
//
// device: on Linux st_dev is an unsigned 64-bit dev_t and is stored as is.
// On Darwin st_dev is a signed 32-bit value; it is widened with its sign to
// 64 bits and stored as unsigned, so a negative device number reads as 2^64
// plus its value. Device numbers given on the command line are matched
// against this field, never against the raw st_dev.
struct FileStatus {
  uint64_t device;
  uint64_t inode;
  FileType type;
  uint64_t link_count;
  int64_t size;
  int64_t modified_seconds;
  int64_t modified_nanoseconds;
  int64_t changed_seconds;
  int64_t changed_nanoseconds;
  // The file's contents are not on this machine: a cloud file whose data the
  // system would download when it is read (Darwin's SF_DATALESS; see
  // darwin_storage.h). Reading one could wait without end. Never set on
  // Linux.
  bool dataless;
};

// Directory open: opens an absolute path read-only as a directory.
// Fails (-1, errno set) unless the object is a directory, or when any
// component of the path, the last one included, is a symbolic link.
int open_directory(const char* absolute_path);

// Beneath-directory open: as open_directory, for a path relative to `dir`,
// and every step of the resolution must stay beneath `dir`. Leaving it (".."
// taken from `dir` itself, an absolute path) fails: EXDEV on Linux, EACCES on
// Darwin through macOS 15, 107 on macOS 26. On Linux resolution also refuses
// to cross any mount point.
int open_directory_beneath(int dir, const char* path);

// Confinement probe: true when the kernel is shown to refuse, beneath `root`,
// a lookup that leaves it. A kernel that lets ".." open there, or refuses it
// for another reason, cannot be trusted to confine anything: false. Linux:
// ".." must fail with EXDEV. Darwin: see darwin_lookups_confined in
// darwin_lookup.h.
bool lookups_confined_beneath(int root);

// Beneath-file open: opens a path relative to `dir` read-only, without
// waiting (a FIFO without writer does not block), and takes the status of
// what it opened into `*opened`. No symbolic link anywhere, resolution stays
// beneath `dir` and on its mount, and the object opened has exactly one hard
// link; otherwise -1. The type is not checked here.
int open_file_beneath(int dir, const char* path, FileStatus* opened);

// Beneath stat: the status of a path relative to `dir`, with the rules of the
// beneath opens. A symbolic link as last component is reported as a link,
// never followed. Returns false on any failure. `path` must obey the
// component rule (components.h): on a Darwin whose fstatat does not know
// AT_RESOLVE_BENEATH it is that rule that keeps the stat beneath `dir`.
bool stat_beneath(int dir, const char* path, FileStatus* status);

enum class WriterWatch {
  held,         // no one has the file open for writing, and any process that
                // opens it for writing from now on is noticed
  unavailable,  // the kernel cannot tell for this file (see below)
  writer_open,  // some process has the file open for writing right now
};

// Starts watching the regular file on `fd`, a read-only descriptor, for
// writers. On Linux this is a read lease: the kernel grants it only while no
// open file description (a shared writable mapping included) has the file
// open for writing, and a process that opens it for writing, or truncates
// it, waits until the lease is given back. The watch lasts until `fd` is
// closed. unavailable: not the file's owner and no CAP_LEASE, leases
// disabled, or a kernel or file system without them (Darwin here).
WriterWatch watch_for_writers(int fd);

// After watch_for_writers gave `held`: true when no process has opened or
// truncated the file for writing since. A writer that arrived is then
// waiting for `fd` to be closed, which the caller does at once.
bool watch_still_held(int fd);

// fstat into our record. Returns false on failure.
bool stat_descriptor(int fd, FileStatus* status);

// True when the file system holding `fd` is stored locally: not a network,
// cluster, user-space or virtual-machine shared-folder file system (on
// Darwin: darwin_local_volume in darwin_storage.h). False also when the file
// system cannot be queried.
bool on_local_file_system(int fd);

enum class RenameOutcome { moved, cross_device, name_taken, failed };

// Exclusive rename of `from_name` in `from_dir` to `to_name` in `to_dir`.
// An existing entry at the destination is never replaced (name_taken);
// directories on different file systems give cross_device. A file system
// that cannot rename exclusively gives failed: there is no plain rename.
RenameOutcome rename_exclusive(int from_dir, const char* from_name, int to_dir,
                               const char* to_name);

// Self-restriction, a second wall behind the confined opens: once it is in
// force the kernel refuses every file-system access but the ones named, to
// this process, for the rest of its life, whatever a later call asks for.
// Both return true when the restriction is in force, and also when the kernel
// has no such mechanism (Linux built or booted without Landlock, Darwin): the
// process then goes on exactly as before, confined by the opens alone. False
// means the kernel offers the mechanism and applying it failed; the caller
// then refuses to go on.
//
// Root restriction: from then on only reading files and listing directories
// beneath `root` (the directory itself included) is allowed.
bool restrict_to_root(int root);

// Publish restriction: from then on only what moving a directory from
// `source_dir` into `destination_dir` and, should the wrong one have been
// moved, back again needs is allowed: removing and adding a directory entry
// on both sides, reparenting it. Moving any other kind of object, and
// every read or write of file contents, is refused. The outcomes of
// rename_exclusive for a directory are unchanged, cross_device and
// name_taken included.
bool restrict_to_publish(int source_dir, int destination_dir);

}  // namespace nookview
