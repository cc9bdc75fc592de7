/* A host's side of one nookview reader session, shared by the benchmark and
 * the racing adversary: the program runs with its standard input and output
 * on pipes, the host pipelines requests and reads the replies in order. */
#pragma once

#include <stddef.h>
#include <sys/types.h>

struct nv_session {
  pid_t pid;
  int requests; /* the program's standard input */
  int replies;  /* its standard output */
};

/* Starts PROGRAM (no arguments), sends ROOT as the root frame and reads the
 * handshake. 0 on the handshake 00 00 00; -1 otherwise (the program is then
 * reaped). */
int nv_start(struct nv_session* s, const char* program, const char* root);

/* Called with each reply in request order; nonzero stops the run. */
typedef int (*nv_judge)(void* context, const char* path, int status, const unsigned char* data,
                        size_t length);

/* Sends requests for paths[0], paths[1], ... (round robin) until `count` were
 * sent or `seconds` (0: no limit) have passed, with at most `window`
 * unanswered at a time, and hands every reply to `judge`. Returns the number
 * of replies judged, or -1 when a reply is malformed, missing (no reply for
 * 20 s: a hang) or the output ends early. */
long nv_pipeline(struct nv_session* s, const char* const* paths, size_t path_count, long count,
                 double seconds, int window, nv_judge judge, void* context);

/* Closes the program's input and reaps it: its exit status, or 128 plus the
 * signal that ended it. */
int nv_finish(struct nv_session* s);

/* Seconds on the monotonic clock. */
double nv_now(void);
