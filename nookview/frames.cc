#include "frames.h"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

namespace nookview {
namespace {

// The next frame's length bytes, or the front of them, read together with the
// current frame's text: a pipelined frame then costs one read, not two. They
// are the only bytes ever read ahead, so an invalid length is still refused
// before anything after it is consumed.
unsigned char next_header[2];
size_t next_header_count = 0;

// End of input fails even when part of the bytes has arrived: a frame cut
// short is never completed with what comes later.
bool read_exact(int fd, void* buffer, size_t count) {
  auto* next = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    ssize_t got = ::read(fd, next, count);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    next += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

// Skips what one readv or writev moved: the parts moved whole, then the front
// of the part it stopped in.
void advance(iovec*& parts, int& count, size_t moved) {
  while (count > 0 && moved >= parts->iov_len) {
    moved -= parts->iov_len;
    ++parts;
    --count;
  }
  if (count == 0) return;
  parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + moved;
  parts->iov_len -= moved;
}

// One writev for all parts: a reply is one system call and one wake-up of
// the host. A signal can cut a write short anywhere, even inside the header.
bool write_all(int fd, iovec* parts, int count) {
  while (count > 0) {
    ssize_t put = ::writev(fd, parts, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    advance(parts, count, static_cast<size_t>(put));
  }
  return true;
}

// Reads `length` bytes of text and, in the same calls, whatever part of the
// next frame's header has already arrived. It stops once the text is whole,
// so it never waits for a frame the host has not sent.
bool read_text_and_next_header(int fd, char* text, size_t length) {
  iovec parts[2] = {{text, length}, {next_header, sizeof next_header}};
  iovec* rest = parts;
  int count = 2;
  size_t total = 0;
  while (total < length) {
    ssize_t got = ::readv(fd, rest, count);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    total += static_cast<size_t>(got);
    advance(rest, count, static_cast<size_t>(got));
  }
  next_header_count = total - length;
  return true;
}

}  // namespace

bool read_path(PathBuffer& buffer) {
  if (!read_exact(0, next_header + next_header_count, sizeof next_header - next_header_count)) {
    return false;
  }
  // Refused before the text is read: the stream is not resynchronised.
  if (next_header[0] >= 4) return false;
  size_t length = static_cast<size_t>(next_header[0]) * 256 + next_header[1];
  if (length == 0) return false;
  if (!read_text_and_next_header(0, buffer, length)) return false;
  if (memchr(buffer, 0, length) != nullptr) return false;
  buffer[length] = '\0';
  return true;
}

bool reply(uint8_t status, const unsigned char* data, size_t length) {
  unsigned char header[3] = {status, static_cast<unsigned char>((length >> 8) & 0xFF),
                             static_cast<unsigned char>(length & 0xFF)};
  // writev only reads the parts; iovec just has no const member.
  iovec parts[2] = {{header, sizeof header}, {const_cast<unsigned char*>(data), length}};
  return write_all(1, parts, length == 0 ? 1 : 2);
}

}  // namespace nookview
