#define _GNU_SOURCE
#include "nookview_session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kHangMs = 20000, kReplyMax = 3 + 8000 };

double nv_now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static size_t put_frame(unsigned char* out, const char* text) {
  size_t n = strlen(text);
  out[0] = (unsigned char)(n >> 8);
  out[1] = (unsigned char)(n & 0xFF);
  memcpy(out + 2, text, n);
  return n + 2;
}

static int write_all(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return -1;
    p += put;
    n -= (size_t)put;
  }
  return 0;
}

/* Replies are read in large pieces, so that the host spends few calls. */
static unsigned char inbox[1 << 18];
static size_t inbox_head, inbox_tail;

/* Exactly n bytes, waiting at most kHangMs for each part of them. */
static int read_exact(int fd, unsigned char* p, size_t n) {
  while (n > 0) {
    if (inbox_head == inbox_tail) {
      struct pollfd in = {fd, POLLIN, 0};
      if (poll(&in, 1, kHangMs) <= 0) return -1;
      ssize_t got = read(fd, inbox, sizeof inbox);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return -1;
      inbox_head = 0;
      inbox_tail = (size_t)got;
    }
    size_t take = inbox_tail - inbox_head < n ? inbox_tail - inbox_head : n;
    memcpy(p, inbox + inbox_head, take);
    inbox_head += take;
    p += take;
    n -= take;
  }
  return 0;
}

int nv_start(struct nv_session* s, const char* program, const char* root) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) return close(in[0]), close(in[1]), -1;
  s->pid = fork();
  if (s->pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl(program, program, (char*)NULL);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  inbox_head = inbox_tail = 0;
  s->requests = in[1];
  s->replies = out[0];
  signal(SIGPIPE, SIG_IGN);
  unsigned char frame[2 + 1024], handshake[3];
  if (s->pid > 0 && write_all(s->requests, frame, put_frame(frame, root)) == 0 &&
      read_exact(s->replies, handshake, 3) == 0 && memcmp(handshake, "\0\0\0", 3) == 0) {
    return 0;
  }
  nv_finish(s);
  return -1;
}

long nv_pipeline(struct nv_session* s, const char* const* paths, size_t path_count, long count,
                 double seconds, int window, nv_judge judge, void* context) {
  static unsigned char reply[kReplyMax];
  double end = seconds > 0 ? nv_now() + seconds : 0;
  long sent = 0, answered = 0;
  while (answered < sent || (sent < count && (end == 0 || nv_now() < end))) {
    /* Once half the window is answered, top it up in one write (sparing the
     * program a wake-up per request); then take one reply. */
    unsigned char batch[64 * (2 + 1024)];
    size_t used = 0;
    int top_up = sent - answered <= window / 2;
    while (top_up && sent - answered < window && sent < count && used + 2 + 1024 <= sizeof batch &&
           (end == 0 || nv_now() < end)) {
      used += put_frame(batch + used, paths[sent++ % path_count]);
    }
    if (used > 0 && write_all(s->requests, batch, used) != 0) return -1;
    if (read_exact(s->replies, reply, 3) != 0 || reply[0] > 2) return -1;
    size_t length = (size_t)reply[1] << 8 | reply[2];
    if (length > 8000 || (length > 0 && reply[0] != 0)) return -1;
    if (read_exact(s->replies, reply + 3, length) != 0) return -1;
    const char* path = paths[answered++ % path_count];
    if (judge && judge(context, path, reply[0], reply + 3, length) != 0) break;
  }
  return answered;
}

int nv_finish(struct nv_session* s) {
  close(s->requests);
  close(s->replies);
  int status = 0;
  while (waitpid(s->pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
