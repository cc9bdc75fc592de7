/* Figures for bench/nookview.sh, one number per run on standard output.
 *
 *   nookview_bench startup PROGRAM ROOT RUNS         median microseconds from
 *                                                    start to handshake
 *   nookview_bench pipelined PROGRAM ROOT PATH COUNT WINDOW
 *                                                    requests per second, every
 *                                                    reply checked against the file
 *   nookview_bench floor PROGRAM ROOT PATH COUNT     requests per second of the
 *       same program reading its frames from a file and writing its replies to
 *       /dev/null: nookview's own calls, without a host, pipes or wake-ups */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nookview_session.h"

static char expected[8001];
static size_t expected_length;

static int check(void* unused, const char* path, int status, const unsigned char* data, size_t n) {
  (void)unused, (void)path;
  return status != 0 || n != expected_length || memcmp(data, expected, n) != 0;
}

static int compare_doubles(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static void put_frame(FILE* f, const char* text) {
  size_t n = strlen(text);
  fputc((int)(n >> 8), f), fputc((int)(n & 0xFF), f), fwrite(text, 1, n, f);
}

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "startup") == 0) {
    int runs = atoi(argv[4]);
    double* took = calloc((size_t)runs, sizeof *took);
    for (int i = 0; i < runs; ++i) {
      struct nv_session s;
      double start = nv_now();
      if (nv_start(&s, argv[2], argv[3]) != 0) return 1;
      took[i] = (nv_now() - start) * 1e6;
      if (nv_finish(&s) != 0) return 1;
    }
    qsort(took, (size_t)runs, sizeof *took, compare_doubles);
    printf("%.0f\n", took[runs / 2]);
    free(took);
    return 0;
  }
  if (argc < 6) return fprintf(stderr, "usage: see nookview_bench.c\n"), 2;
  char file[4200];
  snprintf(file, sizeof file, "%s/%s", argv[3], argv[4]);
  int fd = open(file, O_RDONLY);
  ssize_t got = fd < 0 ? -1 : read(fd, expected, sizeof expected);
  if (got <= 0) return perror(file), 2;
  expected_length = (size_t)got;
  close(fd);
  long count = atol(argv[5]);
  const char* paths[] = {argv[4]};
  if (argc == 7 && strcmp(argv[1], "pipelined") == 0) {
    struct nv_session s;
    if (nv_start(&s, argv[2], argv[3]) != 0) return 1;
    double start = nv_now();
    long answered = nv_pipeline(&s, paths, 1, count, 0, atoi(argv[6]), check, NULL);
    double seconds = nv_now() - start;
    if (answered != count || nv_finish(&s) != 0) return fprintf(stderr, "wrong reply\n"), 1;
    return printf("%.0f\n", (double)count / seconds) < 0;
  }
  if (argc == 6 && strcmp(argv[1], "floor") == 0) {
    FILE* frames = tmpfile();
    if (!frames) return perror("tmpfile"), 2;
    put_frame(frames, argv[3]);
    for (long i = 0; i < count; ++i) put_frame(frames, argv[4]);
    fflush(frames), rewind(frames);
    double start = nv_now();
    pid_t pid = fork();
    if (pid == 0) {
      dup2(fileno(frames), 0), dup2(open("/dev/null", O_WRONLY), 1);
      execl(argv[2], argv[2], (char*)NULL), _exit(127);
    }
    int status = 1;
    waitpid(pid, &status, 0);
    fclose(frames);
    if (status != 0) return 1;
    return printf("%.0f\n", (double)count / (nv_now() - start)) < 0;
  }
  return fprintf(stderr, "usage: see nookview_bench.c\n"), 2;
}
