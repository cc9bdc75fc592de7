// A nookview reader session driven as a host drives it: the root frame, the
// handshake, then the same request over and over, every reply checked against
// the file's contents.
#pragma once

#include <string>
#include <vector>

#include "child.h"

namespace bench {

struct SessionOptions {
  std::vector<std::string> command;  // nookview, possibly under a tracer
  std::string root;                  // absolute path of the served directory
  std::string path;                  // the file requested, relative to the root
  long requests = 0;
  // Pipelined: one thread writes every request while the other reads the
  // replies. Otherwise one at a time: write a request, wait for its reply.
  bool pipelined = false;
  // Pipelined only: the most request bytes in flight (0: no limit), and how
  // long the reader pauses after a short read (0: it waits in read()).
  long window_bytes = 0;
  long read_pause_us = 0;
};

struct SessionResult {
  double seconds = 0;  // first request byte written to last reply byte read
  long peak_kib = -1;  // VmHWM of the command just before its input closed
  Reaped reaped;
};

// False with a reason when the program did not serve every request exactly
// or did not end with status 0.
bool run_session(const SessionOptions& options, SessionResult* result, std::string* error);

}  // namespace bench
