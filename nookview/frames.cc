#include "frames.h"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

namespace nookview {
namespace {

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

// Skips what one writev sent: the parts sent whole, then the front of the
// part it stopped in.
void advance(iovec*& parts, int& count, size_t sent) {
  while (count > 0 && sent >= parts->iov_len) {
    sent -= parts->iov_len;
    ++parts;
    --count;
  }
  if (count == 0) return;
  parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + sent;
  parts->iov_len -= sent;
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

}  // namespace

bool read_path(PathBuffer& buffer) {
  unsigned char header[2];
  if (!read_exact(0, header, sizeof header)) return false;
  // Refused before the text is read: the stream is not resynchronised.
  if (header[0] >= 4) return false;
  size_t length = static_cast<size_t>(header[0]) * 256 + header[1];
  if (length == 0) return false;
  if (!read_exact(0, buffer, length)) return false;
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
