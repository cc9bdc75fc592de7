#include "session.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace bench {
namespace {

constexpr size_t kMaxFile = 8000;
constexpr size_t kDefaultPipeCapacity = 65536;

bool read_file(const std::string& name, std::string* contents) {
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[kMaxFile + 1];
  ssize_t got = read(fd, buffer, sizeof buffer);
  close(fd);
  if (got <= 0 || static_cast<size_t>(got) > kMaxFile) return false;
  contents->assign(buffer, static_cast<size_t>(got));
  return true;
}

std::string frame(const std::string& text) {
  std::string bytes;
  bytes.push_back(static_cast<char>(text.size() >> 8));
  bytes.push_back(static_cast<char>(text.size() & 0xFF));
  return bytes + text;
}

// What the writer and the reader share in a pipelined session: how many
// replies have arrived, so that the writer keeps a bounded number of requests
// in flight.
struct Flow {
  std::mutex lock;
  std::condition_variable room;
  long replied = 0;
  bool writer_waiting = false;
  bool broken = false;
};

// Requests go out in batches of half the window, many frames per write, so
// the host spends one system call on many requests. The window keeps the
// request pipe from ever filling: a reader (nookview) that reads from a full
// pipe wakes the blocked writer on every read, at a cost to nookview.
bool write_requests(int fd, const std::string& request, long count, long window, Flow* flow) {
  long batch = std::max(1L, window / 2);
  std::string chunk;
  for (long i = 0; i < batch; ++i) chunk += request;
  for (long sent = 0; sent < count;) {
    {
      std::unique_lock<std::mutex> hold(flow->lock);
      flow->writer_waiting = true;
      flow->room.wait(hold, [&] { return flow->broken || sent - flow->replied <= window - batch; });
      flow->writer_waiting = false;
      if (flow->broken) return false;
    }
    long now = std::min(count - sent, batch);
    if (!write_all(fd, chunk.data(), static_cast<size_t>(now) * request.size())) return false;
    sent += now;
  }
  return true;
}

// Every reply is the same bytes, so the stream is checked against the
// expected reply repeated, wherever the reads happen to cut it. Unless a read
// emptied a full pipe, the reader pauses briefly rather than waiting in
// read() at once: a reader waiting on an empty pipe is woken by each of
// nookview's writes, and the wake-up is paid by nookview. A full pipe means
// nookview is waiting for room, so then the reader goes on at once.
bool read_replies(int fd, const std::string& reply, long count, long pause_us, Flow* flow,
                  std::string* error) {
  static unsigned char buffer[1 << 18];
  size_t total = reply.size() * static_cast<size_t>(count);
  size_t offset = 0;  // within the current reply
  size_t done = 0;
  while (done < total) {
    ssize_t got = read(fd, buffer, std::min(sizeof buffer, total - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = "the reply stream ended early";
      return false;
    }
    for (size_t at = 0; at < static_cast<size_t>(got);) {
      size_t run = std::min(static_cast<size_t>(got) - at, reply.size() - offset);
      if (memcmp(buffer + at, reply.data() + offset, run) != 0) {
        *error = "a reply differs from the file";
        return false;
      }
      at += run;
      offset = (offset + run) % reply.size();
    }
    done += static_cast<size_t>(got);
    {
      std::lock_guard<std::mutex> hold(flow->lock);
      flow->replied = static_cast<long>(done / reply.size());
      if (flow->writer_waiting) flow->room.notify_one();
    }
    if (pause_us > 0 && static_cast<size_t>(got) < kDefaultPipeCapacity) {
      std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
    }
  }
  return true;
}

bool serve_one_at_a_time(const Child& child, const std::string& request, const std::string& reply,
                         long count, std::string* error) {
  std::string buffer(reply.size(), '\0');
  for (long i = 0; i < count; ++i) {
    if (!write_all(child.to, request.data(), request.size()) ||
        !read_exact(child.from, buffer.data(), buffer.size())) {
      *error = "the conversation broke off";
      return false;
    }
    if (buffer != reply) {
      *error = "a reply differs from the file";
      return false;
    }
  }
  return true;
}

bool serve_pipelined(const Child& child, const SessionOptions& options, const std::string& request,
                     const std::string& reply, std::string* error) {
  long window = options.window_bytes > 0
                    ? std::max(2L, options.window_bytes / static_cast<long>(request.size()))
                    : options.requests;
  Flow flow;
  bool written = true;
  std::thread writer(
      [&] { written = write_requests(child.to, request, options.requests, window, &flow); });
  bool read_ok =
      read_replies(child.from, reply, options.requests, options.read_pause_us, &flow, error);
  if (!read_ok) {
    std::lock_guard<std::mutex> hold(flow.lock);
    flow.broken = true;
    flow.room.notify_one();
  }
  // A writer blocked on a full pipe would wait forever for a reader that
  // went wrong; killing the reader lets its write fail.
  if (!read_ok) kill(child.pid, SIGKILL);
  writer.join();
  if (read_ok && !written) *error = "writing the requests failed";
  return read_ok && written;
}

}  // namespace

bool run_session(const SessionOptions& options, SessionResult* result, std::string* error) {
  std::string contents;
  if (!read_file(options.root + "/" + options.path, &contents)) {
    *error = "cannot read the file to serve (1 to 8000 bytes)";
    return false;
  }
  std::string reply = {'\0', static_cast<char>(contents.size() >> 8),
                       static_cast<char>(contents.size() & 0xFF)};
  reply += contents;
  std::string request = frame(options.path);
  std::string root_frame = frame(options.root);

  Child child;
  if (!spawn(options.command, &child)) {
    *error = "cannot start the program";
    return false;
  }
  unsigned char handshake[3];
  bool ok = write_all(child.to, root_frame.data(), root_frame.size()) &&
            read_exact(child.from, handshake, sizeof handshake) && handshake[0] == 0 &&
            handshake[1] == 0 && handshake[2] == 0;
  if (!ok) *error = "no handshake";

  if (ok) {
    long long began = now_ns();
    ok = options.pipelined ? serve_pipelined(child, options, request, reply, error)
                           : serve_one_at_a_time(child, request, reply, options.requests, error);
    result->seconds = static_cast<double>(now_ns() - began) / 1e9;
    // It now waits for the next request; nothing it does from here on
    // raises its peak.
    result->peak_kib = peak_resident_kib(child.pid);
  }
  if (!reap(&child, &result->reaped)) {
    *error = "cannot reap the program";
    return false;
  }
  int status = result->reaped.status;
  if (ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    *error = "the program did not exit with status 0";
    ok = false;
  }
  return ok;
}

}  // namespace bench
