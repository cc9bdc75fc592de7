// How quickly a watcher leaves once its host closes its standard input.
#pragma once

#include <string>
#include <vector>

#include "stats.h"

namespace bench {

// Runs `command` (which inherits our environment) `runs` times. Each time it
// waits for the first line of its output, then for a pause that moves
// through the second from run to run (the watcher may be anywhere in its
// cycle when a host lets go), closes its input and times until the child is
// reaped. Every run must end with status 0.
bool measure_exit_after_close(const std::vector<std::string>& command, int runs,
                              Summary* milliseconds, std::string* error);

}  // namespace bench
