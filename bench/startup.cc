#include "startup.h"

#include <sys/wait.h>

#include "child.h"

namespace bench {
namespace {

bool start_once(const std::string& program, const std::string& root_frame, double* microseconds,
                double* maxrss_kib, std::string* error) {
  Child child;
  if (!spawn({program}, &child)) {
    *error = "cannot start " + program;
    return false;
  }
  unsigned char handshake[3] = {1, 1, 1};
  bool ok = write_all(child.to, root_frame.data(), root_frame.size()) &&
            read_exact(child.from, handshake, sizeof handshake);
  long long arrived = now_ns();
  if (ok) *microseconds = static_cast<double>(arrived - *child.exec_ns) / 1e3;
  ok = ok && handshake[0] == 0 && handshake[1] == 0 && handshake[2] == 0;
  Reaped reaped;
  if (!reap(&child, &reaped)) ok = false;
  ok = ok && WIFEXITED(reaped.status) && WEXITSTATUS(reaped.status) == 0;
  if (!ok) *error = program + " did not answer the handshake and exit 0";
  *maxrss_kib = static_cast<double>(reaped.usage.ru_maxrss);
  return ok;
}

}  // namespace

bool measure_startup(const std::vector<std::string>& programs, const std::string& root, int runs,
                     std::vector<StartupResult>* results, std::string* error) {
  std::string root_frame = {static_cast<char>(root.size() >> 8),
                            static_cast<char>(root.size() & 0xFF)};
  root_frame += root;
  std::vector<std::vector<double>> times(programs.size());
  std::vector<std::vector<double>> memory(programs.size());
  for (int run = 0; run < runs; ++run) {
    for (size_t k = 0; k < programs.size(); ++k) {
      // Odd runs go in reverse order: neither program always goes first.
      size_t which = run % 2 == 0 ? k : programs.size() - 1 - k;
      double microseconds = 0;
      double maxrss = 0;
      if (!start_once(programs[which], root_frame, &microseconds, &maxrss, error)) return false;
      times[which].push_back(microseconds);
      memory[which].push_back(maxrss);
    }
  }
  results->clear();
  for (size_t k = 0; k < programs.size(); ++k) {
    results->push_back({summarize(times[k]), summarize(memory[k])});
  }
  return true;
}

}  // namespace bench
