// nookview_stress: runs a reader (nookview, or the naive reader) against a
// tree that attacker threads change as fast as they can, judges every reply
// and prints the figures.
//
//   nookview_stress --reader PATH [--seconds S] [--requests N] [--window N]
//                   [--root-pause-us N] [--tmp DIR] [--expect confined|escapes]
//                   [--attack NAME]...
//
// --attack (repeatable) runs only the attacks named; by default all run:
// link_depth_1, link_depth_2, link_depth_3, link_file, directory_in_out,
// file_exchange, fifo_exchange, replace_by_rename, second_link, rewrite_same_size, root_swap.
// --expect confined (the default) passes when no reply is wrong, the reader
// neither died nor hung, its descriptor count never moved, and both
// successes and size refusals were seen (so the run proved something).
// --expect escapes passes when at least one marker was served: the attacks
// really win races against a reader that does not hold the line.
// Exit status: 0 pass, 1 fail, 2 bad command line or set-up.
#include <inttypes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "adversary.h"
#include "session.h"
#include "tree.h"
#include "verdict.h"

namespace stress {
namespace {

struct Options {
  SessionOptions session;
  unsigned root_pause_us = 200;
  std::string tmp = "/tmp";
  bool expect_escapes = false;
  std::vector<std::string> attacks;
};

[[noreturn]] void usage(const char* problem) {
  fprintf(stderr, "nookview_stress: %s\n", problem);
  fprintf(stderr,
          "usage: nookview_stress --reader PATH [--seconds S] [--requests N] [--window N]\n"
          "       [--root-pause-us N] [--tmp DIR] [--expect confined|escapes]\n"
          "       [--attack NAME]...\n");
  exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) usage("every option takes a value");
    const char* value = argv[++i];
    if (flag == "--reader") {
      options.session.program = value;
    } else if (flag == "--seconds") {
      options.session.seconds = strtod(value, nullptr);
    } else if (flag == "--requests") {
      options.session.requests = strtoull(value, nullptr, 10);
    } else if (flag == "--window") {
      options.session.window = static_cast<unsigned>(strtoul(value, nullptr, 10));
    } else if (flag == "--root-pause-us") {
      options.root_pause_us = static_cast<unsigned>(strtoul(value, nullptr, 10));
    } else if (flag == "--attack") {
      options.attacks.push_back(value);
    } else if (flag == "--tmp") {
      options.tmp = value;
    } else if (flag == "--expect") {
      if (strcmp(value, "escapes") != 0 && strcmp(value, "confined") != 0) usage("bad --expect");
      options.expect_escapes = strcmp(value, "escapes") == 0;
    } else {
      usage(("unknown option " + flag).c_str());
    }
  }
  if (options.session.program.empty()) usage("--reader is required");
  if (options.session.window == 0) usage("--window must be at least 1");
  if (options.session.seconds <= 0 && options.session.requests == 0) {
    usage("give --seconds or --requests");
  }
  return options;
}

uint64_t count(const VerdictCounts& counts, Verdict verdict) {
  return counts[static_cast<size_t>(verdict)];
}

uint64_t sum_if(const VerdictCounts& counts, bool (*predicate)(Verdict)) {
  uint64_t total = 0;
  for (int v = 0; v < kVerdictCount; ++v) {
    if (predicate(static_cast<Verdict>(v))) total += counts[static_cast<size_t>(v)];
  }
  return total;
}

// The reply status behind a verdict (malformed replies count with status 0).
int status_of(Verdict verdict) {
  switch (verdict) {
    case Verdict::refused:
      return 1;
    case Verdict::out_of_range:
    case Verdict::wrong_out_of_range:
      return 2;
    default:
      return 0;
  }
}

void print(const SessionOutcome& outcome, const Tree& tree, const Adversary& adversary) {
  printf("per request:\n");
  for (size_t t = 0; t < tree.targets().size(); ++t) {
    printf("  %-12s", tree.targets()[t].request.c_str());
    for (int v = 0; v < kVerdictCount; ++v) {
      uint64_t n = outcome.per_target[t][static_cast<size_t>(v)];
      if (n > 0) printf(" %s=%" PRIu64, verdict_name(static_cast<Verdict>(v)), n);
    }
    printf("\n");
  }
  printf("attacks:\n");
  uint64_t operations = 0;
  for (const AttackReport& attack : adversary.report()) {
    printf("  %-18s operations=%" PRIu64 " failed=%" PRIu64 "\n", attack.name.c_str(),
           attack.operations, attack.failures);
    operations += attack.operations;
  }
  for (const std::string& example : outcome.wrong_examples) printf("wrong: %s\n", example.c_str());
  const VerdictCounts& v = outcome.verdicts;
  uint64_t by_status[3] = {0, 0, 0};
  for (int verdict = 0; verdict < kVerdictCount; ++verdict) {
    by_status[status_of(static_cast<Verdict>(verdict))] += v[static_cast<size_t>(verdict)];
  }
  by_status[0] -= count(v, Verdict::malformed);
  printf("requests=%" PRIu64 " replies=%" PRIu64 " status0=%" PRIu64 " status1=%" PRIu64
         " status2=%" PRIu64 "\n",
         outcome.sent, outcome.replies, by_status[0], by_status[1], by_status[2]);
  printf("escapes=%" PRIu64 " (outside=%" PRIu64 " decoy=%" PRIu64 ") wrong_replies=%" PRIu64
         " attack_operations=%" PRIu64 "\n",
         sum_if(v, is_escape), count(v, Verdict::escape_outside), count(v, Verdict::escape_decoy),
         sum_if(v, is_wrong), operations);
  printf("died=%s hung=%s end=\"%s\"\n", outcome.died ? "yes" : "no", outcome.hung ? "yes" : "no",
         outcome.end.c_str());
  printf("descriptors start=%d min=%d max=%d samples=%" PRIu64 " drift=%d\n",
         outcome.descriptors_at_start, outcome.descriptors_min, outcome.descriptors_max,
         outcome.descriptor_samples, outcome.descriptors_max - outcome.descriptors_at_start);
  printf("seconds=%.1f requests_per_second=%.0f\n", outcome.seconds,
         outcome.seconds > 0 ? static_cast<double>(outcome.replies) / outcome.seconds : 0.0);
}

// Problems that make a run against nookview fail, one line each.
int confined_failures(const SessionOutcome& outcome) {
  const VerdictCounts& v = outcome.verdicts;
  int failures = 0;
  auto fail = [&](bool condition, const char* what) {
    if (!condition) return;
    printf("FAIL: %s\n", what);
    ++failures;
  };
  fail(!outcome.started, "the reader did not start");
  fail(sum_if(v, is_wrong) > 0, "wrong replies (see above)");
  fail(outcome.died, "the reader died or lost replies");
  fail(outcome.hung, "the reader hung");
  fail(outcome.descriptors_min != outcome.descriptors_at_start ||
           outcome.descriptors_max != outcome.descriptors_at_start,
       "the descriptor count moved");
  fail(outcome.descriptor_samples == 0, "no descriptor sample was taken");
  fail(count(v, Verdict::served) == 0, "nothing was served: the run proves nothing");
  fail(count(v, Verdict::out_of_range) == 0, "no size refusal was seen");
  return failures;
}

// SIGINT and SIGTERM end the run the normal way (drain, report, remove the
// tree) instead of killing it: they are blocked in every thread and taken by
// one that only sets a flag.
std::atomic<bool> interrupted{false};

void take_interrupts() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    int taken = 0;
    sigwait(&signals, &taken);
    interrupted = true;
  }).detach();
}

int run(Options& options) {
  take_interrupts();
  options.session.stop = &interrupted;
  Tree tree(options.tmp);
  Adversary adversary(tree, options.root_pause_us, options.attacks);
  SessionOutcome outcome = run_session(options.session, tree, adversary);
  print(outcome, tree, adversary);
  if (interrupted) printf("interrupted: the run ended early\n");
  if (options.expect_escapes) {
    uint64_t escapes = sum_if(outcome.verdicts, is_escape);
    if (escapes == 0) printf("FAIL: the naive reader served no marker: the attacks never won\n");
    return escapes > 0 ? 0 : 1;
  }
  return confined_failures(outcome) == 0 ? 0 : 1;
}

}  // namespace
}  // namespace stress

int main(int argc, char** argv) {
  stress::Options options = stress::parse(argc, argv);
  try {
    return stress::run(options);
  } catch (const std::exception& error) {
    fprintf(stderr, "nookview_stress: %s\n", error.what());
    return 2;
  }
}
