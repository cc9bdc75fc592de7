/* The control of the racing adversary: a reader that speaks nookview's
 * protocol but checks nothing. It opens root + "/" + path with a plain
 * open(2), following every link, and serves whatever it reads. The attacks
 * must beat it, or they prove nothing about nookview. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static int read_frame(char* text) {
  unsigned char h[2];
  size_t n = read(0, h, 2) == 2 ? (size_t)h[0] << 8 | h[1] : 0, got = 0;
  for (ssize_t r = 1; got < n && r > 0; got += (size_t)r) r = read(0, text + got, n - got);
  text[got] = '\0';
  return n > 0 && n < 1024 && got == n;
}

static void reply(int status, const unsigned char* data, size_t n) {
  unsigned char h[3] = {(unsigned char)status, (unsigned char)(n >> 8), (unsigned char)n};
  if (write(1, h, 3) != 3 || (n && write(1, data, n) != (ssize_t)n)) _exit(0);
}

int main(void) {
  char root[1024], path[1024], full[2100];
  unsigned char data[8001];
  if (!read_frame(root)) return 1;
  for (reply(0, NULL, 0); read_frame(path);) {
    snprintf(full, sizeof full, "%s/%s", root, path);
    int fd = open(full, O_RDONLY | O_NONBLOCK); /* a FIFO would hang it otherwise */
    ssize_t n = fd < 0 ? -1 : read(fd, data, sizeof data);
    close(fd);
    n > 0 && n <= 8000 ? reply(0, data, (size_t)n) : reply(1, NULL, 0);
  }
  return 0;
}
