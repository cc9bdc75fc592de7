/* Figures for bench/nookview.sh, on standard output.
 *
 *   nookview_bench startup PROGRAM ROOT RUNS     microseconds from start to
 *                                                handshake, one line per run
 *   nookview_bench pipelined PROGRAM ROOT PATH COUNT WINDOW
 *                                                requests per second, with at
 *                                                most WINDOW in flight and every
 *                                                reply checked against the file */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "nookview_session.h"

static char expected[8001];
static size_t expected_length;

static int check(void* unused, const char* path, int status, const unsigned char* data, size_t n) {
  (void)unused, (void)path;
  return status != 0 || n != expected_length || memcmp(data, expected, n) != 0;
}

int main(int argc, char** argv) {
  struct nv_session s;
  if (argc == 5 && strcmp(argv[1], "startup") == 0) {
    for (int i = 0; i < atoi(argv[4]); ++i) {
      double start = nv_now();
      if (nv_start(&s, argv[2], argv[3]) != 0) return 1;
      printf("%.0f\n", (nv_now() - start) * 1e6);
      if (nv_finish(&s) != 0) return 1;
    }
    return 0;
  }
  if (argc != 7 || strcmp(argv[1], "pipelined") != 0) {
    return fprintf(stderr, "usage: see nookview_bench.c\n"), 2;
  }
  char file[4200];
  snprintf(file, sizeof file, "%s/%s", argv[3], argv[4]);
  int fd = open(file, O_RDONLY);
  ssize_t got = fd < 0 ? -1 : read(fd, expected, sizeof expected);
  if (got <= 0) return perror(file), 2;
  expected_length = (size_t)got;
  close(fd);
  long count = atol(argv[5]);
  const char* paths[] = {argv[4]};
  if (nv_start(&s, argv[2], argv[3]) != 0) return 1;
  double start = nv_now();
  long answered = nv_pipeline(&s, paths, 1, count, 0, atoi(argv[6]), check, NULL);
  double seconds = nv_now() - start;
  if (answered != count || nv_finish(&s) != 0) return fprintf(stderr, "wrong reply\n"), 1;
  printf("%.0f\n", (double)count / seconds);
  return 0;
}
