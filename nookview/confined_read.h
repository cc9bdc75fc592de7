// Serving one file request beneath the root of reader mode.
#pragma once

#include <stddef.h>
#include <stdint.h>

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
// served, and a file that some process has open for writing or opens for
// writing while it is read (where the kernel can tell). `*length` is written
// only on status 0. `path` is changed while the call runs and restored
// before it returns. Every descriptor opened here is closed before
// returning.
uint8_t read_source(const RootContext& root, PathBuffer& path, DataBuffer& data, size_t* length);

// The tests of the file's status by name before it is opened (record A), in
// their order: a regular file with exactly one link, on `root_device`, whose
// contents are on this machine, or 1; then 1 to 8000 bytes, or 2. 0: the
// file may be opened. A dataless file is refused here, before the open, so
// that nothing starts a download or waits for one.
uint8_t named_file_status(const FileStatus& named, uint64_t root_device);

}  // namespace nookview
