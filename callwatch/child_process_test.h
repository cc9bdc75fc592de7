// Test helper: runs code in a forked child with its standard streams
// captured, so tests can check exit statuses and the exact bytes written.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs `body` in a child whose standard input is `input` (when -1: a pipe
// the parent holds open, never written, until the child has ended) and whose
// standard output and error are captured. `onOutput`, if given, is called
// once, when the first bytes arrive on standard output. A child still
// running after 20 seconds is killed.
ChildResult runChild(const std::function<void()>& body, int input = -1,
                     const std::function<void()>& onOutput = {});
