/* Racing adversary: a reader program serves a fresh tree while attacker
 * threads change it as fast as they can, and every reply is judged.
 *
 *   nookview_race READER PARENT SECONDS [--expect-escape] ATTACK...
 *
 * ATTACK: links (a directory and a file exchanged with symbolic links that
 * lead out of the root), second-link (a second hard link outside the root
 * while the file holds a secret), fifo (the file exchanged with a FIFO),
 * root (the root exchanged with a decoy tree), rewrite (8000 bytes rewritten
 * in place by open, one pwrite, close: two generations), mapping (the file
 * written through a shared writable mapping the whole time).
 *
 * Every file is one byte repeated: its own letter ('w' or 'W' for the two
 * generations of w), 'X' outside the root, 'D' in the decoy, 'S' the secret.
 * A success that carries a foreign byte is an escape; a mix of generations,
 * a wrong length, a status 2, or any success for the mapped file is a wrong
 * reply. Exit 0 when there was neither, and no hang or malformed reply; with
 * --expect-escape (the naive reader, as a control) exit 0 only when there
 * was an escape. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nookview_session.h"

static char top[4096];
static int top_fd, root_fd, outside_fd; /* attackers act through these, so that */
static volatile int stop;               /* a swapped root does not redirect them */
static long operations, escapes, wrong, statuses[3];

static void exchange(int dir, const char* a, const char* b) {
  if (renameat2(dir, a, dir, b, RENAME_EXCHANGE) == 0) __sync_fetch_and_add(&operations, 1);
}

static void* links(void* unused) {
  while (!stop) exchange(root_fd, "a", "a-link"), exchange(root_fd, "g", "g-link");
  return unused;
}
static void* fifo(void* unused) {
  while (!stop) exchange(root_fd, "p", "p-fifo");
  return unused;
}
static void* root(void* unused) {
  while (!stop) exchange(top_fd, "root", "decoy");
  return unused;
}
/* The secret is in the file only while it has a second link. */
static void* second_link(void* unused) {
  char secret[100], legit[100];
  memset(secret, 'S', 100), memset(legit, 'h', 100);
  while (!stop) {
    if (linkat(root_fd, "h", outside_fd, "h2", 0) != 0) continue;
    int fd = openat(root_fd, "h", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) pwrite(fd, secret, 100, 0), pwrite(fd, legit, 100, 0), close(fd);
    unlinkat(outside_fd, "h2", 0);
    __sync_fetch_and_add(&operations, 1);
  }
  return unused;
}
static void* rewrite(void* unused) {
  char data[8000];
  for (long gen = 0; !stop; ++gen) {
    memset(data, gen % 2 ? 'W' : 'w', sizeof data);
    int fd = openat(root_fd, "w", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) pwrite(fd, data, sizeof data, 0), close(fd);
    __sync_fetch_and_add(&operations, 1);
  }
  return unused;
}
/* Mapped before the session starts, so that the file is never without a
 * writer while it is served. */
static char* mapped;
static void map_file(void) {
  int fd = openat(root_fd, "m", O_RDWR | O_CLOEXEC);
  mapped = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (fd < 0 || mapped == MAP_FAILED) perror("m"), exit(2);
  close(fd); /* the mapping alone keeps the file open for writing */
}
static void* mapping(void* unused) {
  for (long gen = 0; !stop; ++gen) memset(mapped, gen % 2 ? 'M' : 'm', 4096);
  return unused;
}

static const struct {
  const char* name;
  void* (*run)(void*);
} attacks[] = {{"links", links},     {"fifo", fifo},
               {"root", root},       {"second-link", second_link},
               {"rewrite", rewrite}, {"mapping", mapping}};
static const char* const paths[] = {"a/f", "g", "h", "p", "w", "m"};

static int judge(void* unused, const char* path, int status, const unsigned char* data, size_t n) {
  (void)unused;
  ++statuses[status];
  if (status == 2) ++wrong;
  if (status != 0) return 0;
  size_t want = path[0] == 'w' ? 8000 : path[0] == 'm' ? 4096 : 100;
  int own = path[0], foreign = 0, mixed = 0; /* 'a' for "a/f" too */
  for (size_t i = 0; i < n; ++i) {
    if ((data[i] | 0x20) != own) foreign = 1; /* either case: either generation */
    if (data[i] != data[0]) mixed = 1;
  }
  if (foreign) ++escapes;
  if (!foreign && (mixed || n != want || (own == 'm' && mapped))) ++wrong;
  return 0;
}

static void build(const char* tree, int byte_case) {
  char rel[64], data[8000];
  snprintf(rel, sizeof rel, "%s/a", tree);
  if (mkdirat(top_fd, tree, 0755) != 0 || mkdirat(top_fd, rel, 0755) != 0) perror(tree), exit(2);
  for (int i = 0; i < 6; ++i) { /* the file of each path, 'w' and 'm' larger */
    size_t size = i == 4 ? 8000 : i == 5 ? 4096 : 100;
    memset(data, byte_case ? byte_case : paths[i][0], size);
    snprintf(rel, sizeof rel, "%s/%s", tree, paths[i]);
    int fd = openat(top_fd, rel, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, data, size) != (ssize_t)size) perror(rel), exit(2);
    close(fd);
  }
}

int main(int argc, char** argv) {
  if (argc < 5) return fprintf(stderr, "usage: see race.c\n"), 2;
  int expect_escape = strcmp(argv[4], "--expect-escape") == 0, started = 0;
  void* (*runs[8])(void*);
  for (int i = 4 + expect_escape; i < argc && started < 8; ++i) {
    size_t k = 0, count = sizeof attacks / sizeof attacks[0];
    while (k < count && strcmp(argv[i], attacks[k].name) != 0) ++k;
    if (k == count) return fprintf(stderr, "unknown attack %s\n", argv[i]), 2;
    runs[started++] = attacks[k].run;
  }
  snprintf(top, sizeof top, "%s/race-XXXXXX", argv[2]);
  if (!mkdtemp(top)) return perror(top), 2;
  top_fd = open(top, O_PATH | O_DIRECTORY | O_CLOEXEC);
  build("root", 0), build("decoy", 'D'), build("outside", 'X');
  root_fd = openat(top_fd, "root", O_PATH | O_DIRECTORY | O_CLOEXEC);
  outside_fd = openat(top_fd, "outside", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (symlinkat("../outside/a", root_fd, "a-link") != 0 ||
      symlinkat("../outside/g", root_fd, "g-link") != 0 || mkfifoat(root_fd, "p-fifo", 0644) != 0)
    return perror("tree"), 2;
  for (int i = 0; i < started; ++i)
    if (runs[i] == mapping) map_file();
  char to[4200];
  struct nv_session s;
  snprintf(to, sizeof to, "%s/root", top);
  if (nv_start(&s, argv[1], to) != 0) return fprintf(stderr, "no handshake\n"), 1;
  pthread_t threads[8];
  for (int i = 0; i < started; ++i) pthread_create(&threads[i], NULL, runs[i], NULL);
  long answered = nv_pipeline(&s, paths, 6, 1L << 40, atof(argv[3]), 32, judge, NULL);
  stop = 1;
  for (int i = 0; i < started; ++i) pthread_join(threads[i], NULL);
  int exit_status = nv_finish(&s);
  printf("%s: %ld replies (0/1/2: %ld/%ld/%ld), %ld attacks, %ld escapes, %ld wrong, exit %d\n",
         argv[1], answered, statuses[0], statuses[1], statuses[2], operations, escapes, wrong,
         exit_status);
  snprintf(to, sizeof to, "rm -rf '%s'", top);
  if (system(to) != 0) return 2;
  if (answered < 0 || exit_status != 0) return 1;
  return expect_escape ? escapes == 0 : escapes + wrong > 0;
}
