// The tests of one request run in a fixed order. The file's identity is taken
// four times (A: by path before opening, B: from the descriptor, C: from the
// descriptor after reading, D: by path after reading), and the root and the
// directories of the path are tested before the open and after the read, so
// that a rename, replacement or rewrite by another process while the file is
// served shows as a difference and the reply is a failure.
//
// The times in those records do not always move when a file is rewritten (a
// file system with one-second times, two writes within one tick), so where
// the kernel offers it a read lease is held from B until after D: a writer
// that opens the file meanwhile breaks it, and the read is refused.
#include "confined_read.h"

#include <errno.h>
#include <unistd.h>

#include "components.h"
#include "descriptor.h"
#include "platform.h"

namespace nookview {
namespace {

ssize_t read_some(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t got = ::read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// Reads until end of file or until the buffer is full. A total of 8001 means
// the file holds more than it did when it was measured.
bool read_whole_file(int fd, DataBuffer& data, size_t* total) {
  *total = 0;
  while (*total < kDataBufferSize) {
    ssize_t got = read_some(fd, data + *total, kDataBufferSize - *total);
    if (got < 0) return false;
    if (got == 0) break;
    *total += static_cast<size_t>(got);
  }
  return true;
}

bool same_times(int64_t seconds, int64_t nanoseconds, int64_t other_seconds,
                int64_t other_nanoseconds) {
  return seconds == other_seconds && nanoseconds == other_nanoseconds;
}

// True when both records describe the same unchanged single-link regular
// file, with its contents on this machine; type, link count and contents are
// tested on the second record only, since the first has always passed them
// already. A file whose contents were evicted after record A is refused at
// record B, before it is read.
bool same_file(const FileStatus& first, const FileStatus& second) {
  return first.device == second.device && first.inode == second.inode &&
         second.type == FileType::regular && second.link_count == 1 && !second.dataless &&
         first.size == second.size &&
         same_times(first.modified_seconds, first.modified_nanoseconds, second.modified_seconds,
                    second.modified_nanoseconds) &&
         same_times(first.changed_seconds, first.changed_nanoseconds, second.changed_seconds,
                    second.changed_nanoseconds);
}

bool root_still_named(const RootContext& root) {
  Descriptor named(open_directory(root.path));
  FileStatus status;
  return named.is_open() && stat_descriptor(named.get(), &status) && status.device == root.device &&
         status.inode == root.inode;
}

// Every directory prefix of `path` ("a", then "a/b" for "a/b/c") must open
// beneath `dir` as a directory on `device`. `path` is restored on return.
bool same_device_prefixes(int dir, char* path, uint64_t device) {
  for (char* slash = path; *slash != '\0'; ++slash) {
    if (*slash != '/') continue;
    *slash = '\0';
    Descriptor prefix(open_directory_beneath(dir, path));
    *slash = '/';
    FileStatus status;
    if (!prefix.is_open() || !stat_descriptor(prefix.get(), &status) || status.device != device) {
      return false;
    }
  }
  return true;
}

// From the open to the end of the read: B, the read, C and D. The file is
// closed on return, which also gives back a lease a waiting writer needs.
uint8_t read_opened_file(const RootContext& root, PathBuffer& path, const FileStatus& named,
                         DataBuffer& data, size_t* total) {
  FileStatus opened;  // B
  Descriptor file(open_file_beneath(root.descriptor, path, &opened));
  if (!file.is_open() || !same_file(named, opened)) return kStatusFailure;
  WriterWatch watch = watch_for_writers(file.get());
  if (watch == WriterWatch::writer_open) return kStatusFailure;

  if (!read_whole_file(file.get(), data, total)) return kStatusFailure;
  if (static_cast<int64_t>(*total) != opened.size) return kStatusFailure;
  FileStatus after_read;  // C
  if (!stat_descriptor(file.get(), &after_read) || !same_file(opened, after_read)) {
    return kStatusFailure;
  }
  FileStatus by_path_again;  // D
  if (!stat_beneath(root.descriptor, path, &by_path_again) || !same_file(opened, by_path_again)) {
    return kStatusFailure;
  }
  if (watch == WriterWatch::held && !watch_still_held(file.get())) return kStatusFailure;
  return kStatusSuccess;
}

}  // namespace

uint8_t named_file_status(const FileStatus& named, uint64_t root_device) {
  if (named.type != FileType::regular) return kStatusFailure;
  if (named.link_count != 1) return kStatusFailure;
  if (named.device != root_device) return kStatusFailure;
  if (named.dataless) return kStatusFailure;
  if (named.size < 1 || named.size > kMaxFileSize) return kStatusSizeOutOfRange;
  return kStatusSuccess;
}

uint8_t read_source(const RootContext& root, PathBuffer& path, DataBuffer& data, size_t* length) {
  if (!valid_components(path)) return kStatusFailure;
  if (!root_still_named(root)) return kStatusFailure;
  if (!same_device_prefixes(root.descriptor, path, root.device)) return kStatusFailure;

  FileStatus named;  // A
  if (!stat_beneath(root.descriptor, path, &named)) return kStatusFailure;
  uint8_t verdict = named_file_status(named, root.device);
  if (verdict != kStatusSuccess) return verdict;

  size_t total = 0;
  uint8_t status = read_opened_file(root, path, named, data, &total);
  if (status != kStatusSuccess) return status;
  if (!same_device_prefixes(root.descriptor, path, root.device)) return kStatusFailure;
  if (!root_still_named(root)) return kStatusFailure;
  *length = total;
  return kStatusSuccess;
}

}  // namespace nookview
