// One reader process driven at full speed: requests are pipelined (many in
// flight), every reply is judged as it arrives, and the reader's descriptor
// count is sampled at moments when no request is in flight.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "adversary.h"
#include "tree.h"
#include "verdict.h"

namespace stress {

struct SessionOptions {
  std::string program;            // speaks the reader protocol on stdin/stdout
  double seconds = 10;            // stop sending after this long (0: no limit)
  uint64_t requests = 0;          // stop sending after this many (0: no limit)
  unsigned window = 64;           // requests in flight at most
  double sample_interval = 0.25;  // seconds between descriptor samples
  double reply_timeout = 20;      // no reply this long with requests in flight: hung
  // Set from outside (an interrupt) to end the run early, the normal way.
  const std::atomic<bool>* stop = nullptr;
};

using VerdictCounts = std::array<uint64_t, kVerdictCount>;

struct SessionOutcome {
  bool started = false;  // the handshake came
  uint64_t sent = 0;
  uint64_t replies = 0;
  VerdictCounts verdicts{};
  std::vector<VerdictCounts> per_target;
  std::vector<std::string> wrong_examples;  // the first wrong replies of each path
  bool died = false;
  bool hung = false;
  std::string end;  // how the process ended
  int descriptors_at_start = -1;
  int descriptors_min = -1;
  int descriptors_max = -1;
  uint64_t descriptor_samples = 0;
  double seconds = 0;
};

// Starts the program, hands it tree.root(), starts the adversary after the
// handshake and stops it before the program's input is closed.
SessionOutcome run_session(const SessionOptions& options, const Tree& tree, Adversary& adversary);

}  // namespace stress
