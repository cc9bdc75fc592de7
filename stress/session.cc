#include "session.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace stress {
namespace {

using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;
  int to = -1;    // its standard input
  int from = -1;  // its standard output
};

Child spawn(const std::string& program) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
  // Room for a whole window of replies, so neither side waits on the pipe.
  fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
  fcntl(out[1], F_SETPIPE_SZ, 1 << 20);
  pid_t pid = fork();
  if (pid == 0) {
    // The harness blocks its interrupt signals; the reader gets the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  return {pid, in[1], out[0]};
}

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool read_exact(int fd, unsigned char* buffer, size_t size, int timeout_ms) {
  size_t done = 0;
  while (done < size) {
    pollfd ready{fd, POLLIN, 0};
    int polled = poll(&ready, 1, timeout_ms);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    ssize_t got = read(fd, buffer + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

void append_frame(std::string* batch, const std::string& path) {
  batch->push_back(static_cast<char>(path.size() >> 8));
  batch->push_back(static_cast<char>(path.size() & 0xFF));
  batch->append(path);
}

int count_descriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

std::string printable_line(std::string_view data, size_t at) {
  size_t begin = data.rfind('\n', at);
  begin = begin == std::string_view::npos ? 0 : begin + 1;
  std::string line(data.substr(begin, std::min<size_t>(data.find('\n', begin) - begin, 80)));
  for (char& c : line) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return line;
}

// Where a mixed reply stops being the content its first line announces, and
// what the bytes there say they are.
std::string where_mixed(std::string_view data) {
  size_t split = 0;
  for (size_t line = 0; line < data.size(); line = data.find('\n', line) + 1) {
    if (data.find('\n', line) == std::string_view::npos) break;
    if (data.compare(line, std::min(data.find('\n'), data.size() - line), data, 0,
                     std::min(data.find('\n'), data.size() - line)) != 0) {
      split = line;
      break;
    }
  }
  if (split == 0) return "";
  return " differs_from_offset=" + std::to_string(split) + " line_there=\"" +
         printable_line(data, split) + "\"";
}

std::string describe(const std::string& request, uint8_t status, Verdict verdict,
                     std::string_view data) {
  std::string text = "request=" + request + " status=" + std::to_string(status) +
                     " verdict=" + verdict_name(verdict) + " length=" + std::to_string(data.size());
  if (data.empty()) return text;
  text += " first_line=\"" + printable_line(data, 0) + "\"";
  if (verdict == Verdict::mixed) text += where_mixed(data);
  return text;
}

// Shared between the thread that sends and the one that judges replies.
struct Flow {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t in_flight = 0;
  bool reader_done = false;
};

struct ReplyLog {
  uint64_t replies = 0;
  VerdictCounts verdicts{};
  std::vector<VerdictCounts> per_target;
  std::vector<std::string> wrong_examples;
  std::vector<uint64_t> examples_per_target;
  bool hung = false;
  bool ended_early = false;  // output ended with requests unanswered
};

// A few per request path, so that one frequent fault cannot hide another.
constexpr uint64_t kExamplesPerTarget = 5;

void judge_replies(int from, const Tree& tree, int timeout_ms, Flow& flow, ReplyLog& log) {
  const std::vector<Target>& targets = tree.targets();
  log.per_target.assign(targets.size(), VerdictCounts{});
  log.examples_per_target.assign(targets.size(), 0);
  std::vector<unsigned char> buffer(1 << 20);
  size_t have = 0;
  for (;;) {
    pollfd ready{from, POLLIN, 0};
    int polled = poll(&ready, 1, timeout_ms);
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      std::lock_guard lock(flow.mutex);
      if (flow.in_flight == 0) continue;
      log.hung = true;
      break;
    }
    ssize_t got = read(from, buffer.data() + have, buffer.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      std::lock_guard lock(flow.mutex);
      log.ended_early = flow.in_flight > 0 || have > 0;
      break;
    }
    have += static_cast<size_t>(got);
    size_t at = 0;
    uint64_t answered = 0;
    while (have - at >= 3) {
      size_t length = static_cast<size_t>(buffer[at + 1]) << 8 | buffer[at + 2];
      if (have - at < 3 + length) break;
      size_t index = log.replies % targets.size();
      std::string_view data(reinterpret_cast<const char*>(buffer.data() + at + 3), length);
      Verdict verdict = judge(targets[index], tree, buffer[at], data);
      ++log.verdicts[static_cast<size_t>(verdict)];
      ++log.per_target[index][static_cast<size_t>(verdict)];
      if (is_wrong(verdict) && ++log.examples_per_target[index] <= kExamplesPerTarget) {
        log.wrong_examples.push_back(describe(targets[index].request, buffer[at], verdict, data));
      }
      ++log.replies;
      ++answered;
      at += 3 + length;
    }
    std::copy(buffer.begin() + static_cast<ptrdiff_t>(at),
              buffer.begin() + static_cast<ptrdiff_t>(have), buffer.begin());
    have -= at;
    std::lock_guard lock(flow.mutex);
    flow.in_flight -= std::min(answered, flow.in_flight);
    flow.changed.notify_all();
  }
  std::lock_guard lock(flow.mutex);
  flow.reader_done = true;
  flow.changed.notify_all();
}

// Waits until every request sent has its reply. False when replies stopped.
bool drain(Flow& flow) {
  std::unique_lock lock(flow.mutex);
  flow.changed.wait(lock, [&] { return flow.reader_done || flow.in_flight == 0; });
  return !flow.reader_done;
}

void sample(pid_t pid, SessionOutcome& outcome) {
  int count = count_descriptors(pid);
  if (count < 0) return;
  ++outcome.descriptor_samples;
  outcome.descriptors_min = std::min(outcome.descriptors_min, count);
  outcome.descriptors_max = std::max(outcome.descriptors_max, count);
}

// Reaps the child, killing it if it does not end by itself within `limit`.
std::string reap(pid_t pid, std::chrono::seconds limit, bool* clean) {
  auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      *clean = false;
      return "did not exit after its input closed; killed";
    }
    usleep(10000);
  }
  if (WIFSIGNALED(status)) {
    *clean = false;
    return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  }
  *clean = WEXITSTATUS(status) == 0;
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

SessionOutcome run_session(const SessionOptions& options, const Tree& tree, Adversary& adversary) {
  SessionOutcome outcome;
  signal(SIGPIPE, SIG_IGN);
  Child child = spawn(options.program);
  if (child.pid < 0) {
    outcome.end = "could not start";
    return outcome;
  }
  const int timeout_ms = static_cast<int>(options.reply_timeout * 1000);
  std::string root_frame;
  append_frame(&root_frame, tree.root());
  unsigned char handshake[3] = {1, 1, 1};
  if (!write_all(child.to, root_frame) || !read_exact(child.from, handshake, 3, timeout_ms) ||
      handshake[0] != 0 || handshake[1] != 0 || handshake[2] != 0) {
    close(child.to);
    bool clean = false;
    outcome.end = "no handshake; " + reap(child.pid, std::chrono::seconds(10), &clean);
    close(child.from);
    return outcome;
  }
  outcome.started = true;
  outcome.descriptors_at_start = count_descriptors(child.pid);
  outcome.descriptors_min = outcome.descriptors_max = outcome.descriptors_at_start;

  Flow flow;
  ReplyLog log;
  std::thread judge_thread(judge_replies, child.from, std::cref(tree), timeout_ms, std::ref(flow),
                           std::ref(log));
  adversary.start();

  const std::vector<Target>& targets = tree.targets();
  const auto start = Clock::now();
  const auto interval = std::chrono::duration<double>(options.sample_interval);
  auto next_sample = start + std::chrono::duration_cast<Clock::duration>(interval);
  bool write_failed = false;
  std::string batch;
  for (;;) {
    auto now = Clock::now();
    if (options.requests > 0 && outcome.sent >= options.requests) break;
    if (options.seconds > 0 && now - start >= std::chrono::duration<double>(options.seconds)) break;
    if (options.stop != nullptr && options.stop->load()) break;
    if (now >= next_sample) {
      if (!drain(flow)) break;
      sample(child.pid, outcome);
      next_sample = Clock::now() + std::chrono::duration_cast<Clock::duration>(interval);
    }
    uint64_t room = 0;
    {
      std::unique_lock lock(flow.mutex);
      flow.changed.wait(lock, [&] { return flow.reader_done || flow.in_flight < options.window; });
      if (flow.reader_done) break;
      room = options.window - flow.in_flight;
    }
    if (options.requests > 0) room = std::min(room, options.requests - outcome.sent);
    room = std::min<uint64_t>(room, 32);
    batch.clear();
    for (uint64_t i = 0; i < room; ++i) {
      append_frame(&batch, targets[(outcome.sent + i) % targets.size()].request);
    }
    {
      std::lock_guard lock(flow.mutex);
      flow.in_flight += room;
    }
    outcome.sent += room;
    if (!write_all(child.to, batch)) {
      write_failed = true;
      break;
    }
  }
  if (!write_failed && drain(flow)) sample(child.pid, outcome);
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  adversary.stop();

  {
    std::lock_guard lock(flow.mutex);
    if (flow.reader_done && log.hung) kill(child.pid, SIGKILL);
  }
  close(child.to);
  bool clean = false;
  outcome.end = reap(child.pid, std::chrono::seconds(10), &clean);
  judge_thread.join();
  close(child.from);

  outcome.replies = log.replies;
  outcome.verdicts = log.verdicts;
  outcome.per_target = std::move(log.per_target);
  outcome.wrong_examples = std::move(log.wrong_examples);
  outcome.hung = log.hung || outcome.end.find("did not exit") != std::string::npos;
  outcome.died = !outcome.hung &&
                 (!clean || log.ended_early || write_failed || outcome.replies != outcome.sent);
  return outcome;
}

}  // namespace stress
