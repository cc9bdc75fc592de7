#include "frames.h"

#include <errno.h>
#include <string.h>
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

bool write_all(int fd, const unsigned char* bytes, size_t count) {
  while (count > 0) {
    ssize_t put = ::write(fd, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    count -= static_cast<size_t>(put);
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
  const unsigned char header[3] = {status, static_cast<unsigned char>((length >> 8) & 0xFF),
                                   static_cast<unsigned char>(length & 0xFF)};
  if (!write_all(1, header, sizeof header)) return false;
  return length == 0 || write_all(1, data, length);
}

}  // namespace nookview
