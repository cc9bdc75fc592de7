/* The least a reader-mode program can do, beside which nookview's start-up
 * is measured: read the root frame, answer 00 00 00, then wait for the end
 * of its input. Same C library, none of nookview's checks. */
#include <unistd.h>

int main(void) {
  unsigned char frame[2 + 1023];
  if (read(0, frame, 2) != 2) return 1;
  size_t length = (size_t)frame[0] * 256 + frame[1], got = 0;
  while (got < length) {
    ssize_t n = read(0, frame + 2 + got, length - got);
    if (n <= 0) return 1;
    got += (size_t)n;
  }
  if (write(1, "\0\0\0", 3) != 3) return 1;
  while (read(0, frame, sizeof frame) > 0) {
  }
  return 0;
}
