// Start-up cost as a host sees it: from the moment the child calls execve to
// the moment the three handshake bytes have arrived.
#pragma once

#include <string>
#include <vector>

#include "stats.h"

namespace bench {

struct StartupResult {
  Summary microseconds;
  Summary maxrss_kib;  // ru_maxrss from wait4
};

// Runs each program `runs` times, alternating between them so that a change
// in the machine's load falls on both alike. Each gets the root frame, must
// answer 00 00 00, and must exit 0 when its input is closed.
bool measure_startup(const std::vector<std::string>& programs, const std::string& root, int runs,
                     std::vector<StartupResult>* results, std::string* error);

}  // namespace bench
