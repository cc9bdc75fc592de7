// read_path_from and reply_to against a frame decoder written independently,
// over a reader and a writer that hand out bytes in pieces of sizes the input
// chooses and fail with EINTR now and then.
//
// Input: byte 0 chooses the piece sizes, the rest is the request stream.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "frames.h"

namespace {

const uint8_t* stream;
size_t stream_size;
size_t position;
unsigned piece_pattern;
unsigned calls;

size_t piece_size() {
  ++calls;
  // Sizes 1 to 8, or unlimited, in a pattern picked by the first byte.
  unsigned size = (piece_pattern >> ((calls % 4) * 2)) & 3;
  return size == 0 ? SIZE_MAX : size * (1 + (piece_pattern & 1));
}

bool interrupted() {
  return (piece_pattern & 0x80) != 0 && calls % 3 == 0;
}

ssize_t fake_read(int, void* buffer, size_t count) {
  if (interrupted()) {
    ++calls;
    errno = EINTR;
    return -1;
  }
  size_t n = count;
  size_t limit = piece_size();
  if (n > limit) n = limit;
  if (n > stream_size - position) n = stream_size - position;
  memcpy(buffer, stream + position, n);
  position += n;
  return static_cast<ssize_t>(n);
}

std::string written;

ssize_t fake_write(int, const void* buffer, size_t count) {
  if (interrupted()) {
    ++calls;
    errno = EINTR;
    return -1;
  }
  size_t limit = piece_size();
  size_t n = count < limit ? count : limit;
  written.append(static_cast<const char*>(buffer), n);
  return static_cast<ssize_t>(n);
}

struct Decoded {
  std::vector<std::string> texts;
  size_t end_of_last_frame = 0;
};

// Frames as the wire format defines them, up to the first that is invalid.
Decoded decode(const uint8_t* data, size_t size) {
  Decoded result;
  size_t at = 0;
  while (size - at >= 2) {
    size_t length = data[at] * 256u + data[at + 1];
    if (length < 1 || length > 1023 || size - at - 2 < length) break;
    std::string text(reinterpret_cast<const char*>(data + at + 2), length);
    if (text.find('\0') != std::string::npos) break;
    result.texts.push_back(text);
    at += 2 + length;
    result.end_of_last_frame = at;
  }
  return result;
}

void check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  piece_pattern = data[0];
  stream = data + 1;
  stream_size = size - 1;
  position = 0;
  calls = 0;

  Decoded expected = decode(stream, stream_size);
  nookview::PathBuffer buffer;
  size_t accepted = 0;
  while (nookview::read_path_from(0, fake_read, buffer)) {
    check(accepted < expected.texts.size());
    const std::string& text = expected.texts[accepted];
    check(strlen(buffer) == text.size() && memcmp(buffer, text.data(), text.size()) == 0);
    ++accepted;
  }
  check(accepted == expected.texts.size());
  // A frame refused for its length leaves its text unread.
  if (stream_size - expected.end_of_last_frame >= 2) {
    size_t at = expected.end_of_last_frame;
    size_t length = stream[at] * 256u + stream[at + 1];
    if (length == 0 || length > 1023) check(position == at + 2);
  }

  // Replies: the status and the data come from the input; the frame on the
  // wire must be the three header bytes and exactly the data.
  written.clear();
  uint8_t status = stream_size > 0 ? stream[0] : 0;
  size_t length = stream_size > 1 ? stream_size - 1 : 0;
  check(nookview::reply_to(1, fake_write, status, stream_size > 1 ? stream + 1 : nullptr, length));
  check(written.size() == 3 + length);
  check(static_cast<uint8_t>(written[0]) == status);
  check(static_cast<uint8_t>(written[1]) == ((length >> 8) & 0xFF));
  check(static_cast<uint8_t>(written[2]) == (length & 0xFF));
  check(length == 0 || memcmp(written.data() + 3, stream + 1, length) == 0);
  return 0;
}
