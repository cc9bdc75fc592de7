/* The least a reader-mode program can do: read the root frame, answer the
 * handshake 00 00 00, then wait for the end of its input and exit 0. The
 * start-up benchmark measures nookview beside it: same C library, same
 * conversation up to the handshake, none of nookview's checks. */
#include <unistd.h>

static int read_exact(unsigned char* buffer, size_t count) {
  while (count > 0) {
    ssize_t got = read(0, buffer, count);
    if (got <= 0) return 0;
    buffer += got;
    count -= (size_t)got;
  }
  return 1;
}

int main(void) {
  unsigned char frame[2 + 1023];
  if (!read_exact(frame, 2)) return 1;
  size_t length = (size_t)frame[0] * 256 + frame[1];
  if (length == 0 || length > 1023 || !read_exact(frame + 2, length)) return 1;
  static const unsigned char handshake[3] = {0, 0, 0};
  if (write(1, handshake, sizeof handshake) != (ssize_t)sizeof handshake) return 1;
  while (read(0, frame, sizeof frame) > 0) {
  }
  return 0;
}
