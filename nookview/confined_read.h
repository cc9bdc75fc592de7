// Serving one file request beneath the root of reader mode.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "frames.h"
#include "platform.h"

namespace nookview {

inline constexpr int64_t kMaxFileSize = 8000;
// One byte beyond the limit, so that a file that grew past it reads as 8001.
inline constexpr size_t kDataBufferSize = kMaxFileSize + 1;
using DataBuffer = unsigned char[kDataBufferSize];

// Fixed by reader mode at start-up and unchanged through all requests.
struct RootContext {
  int descriptor;    // the root directory, from the directory open
  const char* path;  // absolute, as received in the root frame
  uint64_t device;   // st_dev and st_ino of the root at start
  uint64_t inode;
};

// Answers one request with a reply status. 0: `data` holds the whole file
// and `*length` its size, 1 to 8000. 2: the file passed the type, link and
// device tests but is empty or larger than 8000 bytes. 1: anything else,
// including any change of the file, its directories or the root while it was
// served. `*length` is written only on status 0. `path` is changed while the
// call runs and restored before it returns. Every descriptor opened here is
// closed before returning.
uint8_t read_source(const RootContext& root, PathBuffer& path, DataBuffer& data, size_t* length);

// True when every directory prefix of `path` ("a", then "a/b" for "a/b/c")
// opens beneath `dir` as a directory and lies on `device`. A path without '/'
// is true without any call. `path` is restored before returning.
bool same_device_prefixes(int dir, char* path, uint64_t device);

// True when both records describe the same unchanged single-link regular
// file: device, inode, size, modification and change times equal, and the
// second record a regular file with one link.
bool same_file(const FileStatus& first, const FileStatus& second);

// True when `path` still opens as a directory whose device and inode are
// those of the root at start.
bool root_still_named(const char* path, uint64_t device, uint64_t inode);

// read(2), repeated while it fails with EINTR.
ssize_t read_some(int fd, void* buffer, size_t size);

}  // namespace nookview
