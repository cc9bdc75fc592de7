// The framed conversation of reader mode, and the rule for path components.
//
// Request frame (parent to nookview, on descriptor 0):
//   length high byte (0 to 3), length low byte, then `length` bytes of path
//   text, 1 to 1023 bytes, none of them 0. Any other byte value may occur.
// Reply frame (nookview to parent, on descriptor 1):
//   status byte, data length bits 8-15, data length bits 0-7, then the data.
//   Data travels only with status 0 in answer to a file request.
// There is no buffering layer: every byte goes through read(2) and write(2).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace nookview {

inline constexpr size_t kPathBufferSize = 1024;
inline constexpr size_t kMaxPathLength = kPathBufferSize - 1;
using PathBuffer = char[kPathBufferSize];

enum ReplyStatus : uint8_t {
  kStatusSuccess = 0,
  kStatusFailure = 1,
  kStatusSizeOutOfRange = 2,
};

// Reads one request frame from descriptor 0. On true `buffer` holds the path
// text followed by a 0 byte. On false (end of input, even inside a frame; a
// read error; a length of 0 or of 1024 and more, refused before any text is
// read; a 0 byte in the text) the content is undefined and the input may
// stand inside a frame: the conversation cannot go on.
bool read_path(PathBuffer& buffer);

// Writes one reply frame to descriptor 1: the 3-byte header, then `length`
// bytes of `data` (which may be null when length is 0) by separate writes.
// Only the low 16 bits of `length` are sent. False when a write fails or
// returns 0; the frame may then be incomplete.
bool reply(uint8_t status, const unsigned char* data, size_t length);

// True when every '/'-separated component of the 0-terminated `text` is 1 to
// 255 bytes long and does not begin with '.'. So the empty text, a leading,
// trailing or doubled '/', "." and ".." all fail.
bool valid_components(const char* text);

// read_path and reply over any descriptor and read/write function, for
// tests that need a pipe or a call that fails or transfers part of a buffer.
using ReadCall = ssize_t (*)(int fd, void* buffer, size_t count);
using WriteCall = ssize_t (*)(int fd, const void* buffer, size_t count);
bool read_path_from(int fd, ReadCall read_call, PathBuffer& buffer);
bool reply_to(int fd, WriteCall write_call, uint8_t status, const unsigned char* data,
              size_t length);

}  // namespace nookview
