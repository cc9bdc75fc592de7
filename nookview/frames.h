// The framed conversation of reader mode.
//
// Request frame (parent to nookview, on descriptor 0):
//   length high byte (0 to 3), length low byte, then `length` bytes of path
//   text, 1 to 1023 bytes, none of them 0. Any other byte value may occur.
// Reply frame (nookview to parent, on descriptor 1):
//   status byte, data length bits 8-15, data length bits 0-7, then the data.
//   Data travels only with status 0 in answer to a file request.
// There is no buffering layer: every byte goes through read(2), readv(2) or
// writev(2), repeated after EINTR and continued after a short transfer. The
// only bytes read ahead are the next frame's two length bytes (or the part of
// them that has arrived), taken in the same call as the current frame's text
// and kept for the next read_path: one call per pipelined frame.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace nookview {

inline constexpr size_t kPathBufferSize = 1024;
using PathBuffer = char[kPathBufferSize];

enum ReplyStatus : uint8_t {
  kStatusSuccess = 0,
  kStatusFailure = 1,
  kStatusSizeOutOfRange = 2,
};

// Reads one request frame from descriptor 0. On true `buffer` holds the path
// text followed by a 0 byte, and up to two bytes of the next frame's length
// may have been read and kept; it never waits for them. On false (end of
// input, even inside a frame; a read error; a length of 0 or of 1024 and
// more, refused before any text is read; a 0 byte in the text) the content is
// undefined and the input may stand inside a frame: the conversation cannot
// go on, and read_path must not be called again.
bool read_path(PathBuffer& buffer);

// Writes one reply frame to descriptor 1: the 3-byte header, then `length`
// bytes of `data` (which may be null when length is 0), in one writev unless
// it is cut short. Only `length`'s low 16 bits go into the header: callers
// send at most 8000 bytes. False when a write fails or returns 0 (a reader
// that has gone gives EPIPE once SIGPIPE is ignored); the frame may then be
// incomplete.
bool reply(uint8_t status, const unsigned char* data, size_t length);

}  // namespace nookview
