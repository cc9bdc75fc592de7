// bench_host: drives the programs under measurement the way their host
// application does, and prints what it measured as one "key=value ..." line
// per result for run.sh to collect.
//
//   bench_host session --root DIR --path FILE --requests N
//                      --mode pipelined|one-at-a-time
//                      [--window-bytes N] [--read-pause-us N] -- COMMAND...
//   bench_host startup --root DIR --runs N PROGRAM...
//   bench_host exit-after-close --runs N -- COMMAND...
//
// A pipelined session without --window-bytes keeps the request pipe full,
// and without --read-pause-us the reader waits in read() for every reply.
// Exit status: 0 measured, 1 the program misbehaved, 2 bad command line.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "exit_latency.h"
#include "session.h"
#include "startup.h"

namespace bench {
namespace {

[[noreturn]] void usage(const char* problem) {
  fprintf(stderr, "bench_host: %s\n", problem);
  fprintf(stderr,
          "usage: bench_host session --root DIR --path FILE --requests N\n"
          "                  --mode pipelined|one-at-a-time\n"
          "                  [--window-bytes N] [--read-pause-us N] -- COMMAND...\n"
          "       bench_host startup --root DIR --runs N PROGRAM...\n"
          "       bench_host exit-after-close --runs N -- COMMAND...\n");
  exit(2);
}

struct Arguments {
  std::string root;
  std::string path;
  std::string mode;
  long requests = 0;
  long runs = 0;
  long window_bytes = 0;
  long read_pause_us = 0;
  std::vector<std::string> rest;  // the command, or the programs
};

long positive(const char* text) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 0) usage("counts are whole numbers");
  return value;
}

Arguments parse(int argc, char** argv) {
  Arguments arguments;
  int i = 2;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0 && strcmp(argv[i], "--") != 0; i += 2) {
    if (i + 1 >= argc) usage("every option takes a value");
    std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--root") {
      arguments.root = value;
    } else if (flag == "--path") {
      arguments.path = value;
    } else if (flag == "--mode") {
      arguments.mode = value;
    } else if (flag == "--requests") {
      arguments.requests = positive(value);
    } else if (flag == "--window-bytes") {
      arguments.window_bytes = positive(value);
    } else if (flag == "--read-pause-us") {
      arguments.read_pause_us = positive(value);
    } else if (flag == "--runs") {
      arguments.runs = positive(value);
    } else {
      usage("unknown option");
    }
  }
  if (i < argc && strcmp(argv[i], "--") == 0) ++i;
  for (; i < argc; ++i) arguments.rest.push_back(argv[i]);
  if (arguments.rest.empty()) usage("no program to run");
  return arguments;
}

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

int session(const Arguments& arguments) {
  if (arguments.root.empty() || arguments.path.empty()) usage("session needs --root and --path");
  if (arguments.mode != "pipelined" && arguments.mode != "one-at-a-time") usage("unknown mode");
  SessionOptions options{arguments.rest,
                         arguments.root,
                         arguments.path,
                         arguments.requests,
                         arguments.mode == "pipelined",
                         arguments.window_bytes,
                         arguments.read_pause_us};
  SessionResult result;
  std::string error;
  if (!run_session(options, &result, &error)) {
    fprintf(stderr, "bench_host: %s\n", error.c_str());
    return 1;
  }
  double rate = result.seconds > 0 ? static_cast<double>(arguments.requests) / result.seconds : 0;
  printf(
      "requests=%ld seconds=%.6f per_second=%.1f user_s=%.6f system_s=%.6f "
      "maxrss_kib=%ld peak_kib=%ld sleeps=%ld preempted=%ld\n",
      arguments.requests, result.seconds, rate, seconds(result.reaped.usage.ru_utime),
      seconds(result.reaped.usage.ru_stime), result.reaped.usage.ru_maxrss, result.peak_kib,
      result.reaped.usage.ru_nvcsw, result.reaped.usage.ru_nivcsw);
  return 0;
}

int startup(const Arguments& arguments) {
  if (arguments.root.empty() || arguments.runs < 1) usage("startup needs --root and --runs");
  std::vector<StartupResult> results;
  std::string error;
  if (!measure_startup(arguments.rest, arguments.root, static_cast<int>(arguments.runs), &results,
                       &error)) {
    fprintf(stderr, "bench_host: %s\n", error.c_str());
    return 1;
  }
  for (size_t k = 0; k < results.size(); ++k) {
    const StartupResult& r = results[k];
    printf("program=%s runs=%ld median_us=%.1f min_us=%.1f max_us=%.1f maxrss_kib=%.0f\n",
           arguments.rest[k].c_str(), arguments.runs, r.microseconds.median, r.microseconds.min,
           r.microseconds.max, r.maxrss_kib.median);
  }
  return 0;
}

int exit_after_close(const Arguments& arguments) {
  if (arguments.runs < 1) usage("exit-after-close needs --runs");
  Summary milliseconds;
  std::string error;
  if (!measure_exit_after_close(arguments.rest, static_cast<int>(arguments.runs), &milliseconds,
                                &error)) {
    fprintf(stderr, "bench_host: %s\n", error.c_str());
    return 1;
  }
  printf("runs=%ld median_ms=%.3f min_ms=%.3f max_ms=%.3f\n", arguments.runs, milliseconds.median,
         milliseconds.min, milliseconds.max);
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  // A child that dies must show as a failed write, not kill the host.
  signal(SIGPIPE, SIG_IGN);
  if (argc < 2) bench::usage("no command");
  std::string command = argv[1];
  bench::Arguments arguments = bench::parse(argc, argv);
  if (command == "session") return bench::session(arguments);
  if (command == "startup") return bench::startup(arguments);
  if (command == "exit-after-close") return bench::exit_after_close(arguments);
  bench::usage("unknown command");
}
