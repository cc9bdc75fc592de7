#include "adversary.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace stress {
namespace {

bool exchange(int from_dir, const char* from, int to_dir, const char* to) {
  return renameat2(from_dir, from, to_dir, to, RENAME_EXCHANGE) == 0;
}

bool write_all_at(int fd, const std::string& content) {
  return pwrite(fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size());
}

// The file rewritten in place from its start, through a descriptor of its own.
bool rewrite_at(int dir, const char* name, const std::string& content) {
  int fd = openat(dir, name, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = write_all_at(fd, content);
  close(fd);
  return written;
}

// A new file written outside the root, then renamed over `name` in `dir`.
bool replace_by_rename(int stage, int dir, const char* name, const std::string& content) {
  int fd = openat(stage, "new", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = write_all_at(fd, content);
  close(fd);
  return written && renameat(stage, "new", dir, name) == 0;
}

}  // namespace

Adversary::Adversary(Tree& tree, unsigned root_pause_us, const std::vector<std::string>& only)
    : tree_(tree), only_(only) {
  const std::string& work = tree.work();
  int work_dir = directory(work);
  int root = directory(work + "/root");
  int links = directory(work + "/links");
  int outside = directory(work + "/outside");
  int stage = directory(work + "/stage");
  int a = directory(work + "/root/a");
  int ab = directory(work + "/root/a/b");

  // A directory of the request path exchanged with a link that leads out.
  add("link_depth_1", [=] { return exchange(root, "l1", links, "s1"); });
  add("link_depth_2", [=] { return exchange(a, "l2", links, "s2"); });
  add("link_depth_3", [=] { return exchange(ab, "l3", links, "s3"); });
  // The file itself exchanged with a link to a marker.
  int s = directory(work + "/root/s");
  add("link_file", [=] { return exchange(s, "f", links, "sf"); });
  // A directory of the root exchanged with one outside it.
  add("directory_in_out", [=] { return exchange(root, "x", outside, "xo"); });
  int p = directory(work + "/root/p");
  add("file_exchange", [=] { return exchange(p, "sa", p, "sb"); });

  int q = directory(work + "/root/q");
  add("fifo_exchange", [=] { return exchange(q, "f", q, "pipe"); });

  int r = directory(work + "/root/r");
  add("replace_by_rename", [=, this] {
    uint64_t generation = tree_.next_generation("r/f");
    return replace_by_rename(stage, r, "f", make_content(Kind::inside, "r/f", generation, 1200));
  });

  // The multi-link content exists only between link and unlink, so serving
  // it means a file with two links was served.
  int h = directory(work + "/root/h");
  // Writers open the file for each change and close it again, so that
  // there are moments without any writer, when the file may be served.
  add("second_link", [=, this] {
    if (linkat(h, "f", outside, "second", 0) != 0) return false;
    bool written = rewrite_at(
        h, "f", make_content(Kind::multilink, "h/f", tree_.next_generation("h/f"), 3000));
    written =
        written &&
        rewrite_at(h, "f", make_content(Kind::inside, "h/f", tree_.next_generation("h/f"), 3000));
    return unlinkat(outside, "second", 0) == 0 && written;
  });

  int w = directory(work + "/root/w");
  add("rewrite_same_size", [=, this] {
    return rewrite_at(w, "f",
                      make_content(Kind::inside, "w/f", tree_.next_generation("w/f"), 8000));
  });

  // The root goes away and comes back in each step, then stays for the
  // pause. Steps alternate between an atomic exchange with the decoy and
  // plain renames, which also leave moments with no root name at all.
  add("root_swap", [=, atomic = true]() mutable {
    bool done = false;
    if (atomic) {
      done = exchange(work_dir, "root", work_dir, "decoy") &&
             exchange(work_dir, "root", work_dir, "decoy");
    } else {
      done = renameat(work_dir, "root", work_dir, "parked") == 0 &&
             renameat(work_dir, "decoy", work_dir, "root") == 0 &&
             renameat(work_dir, "root", work_dir, "decoy") == 0 &&
             renameat(work_dir, "parked", work_dir, "root") == 0;
    }
    atomic = !atomic;
    if (root_pause_us > 0) usleep(root_pause_us);
    return done;
  });

  for (const std::string& name : only_) {
    bool known = std::any_of(attacks_.begin(), attacks_.end(),
                             [&](const auto& attack) { return attack->name == name; });
    if (!known) throw std::runtime_error("no attack named " + name);
  }
  if (!only_.empty()) {
    std::erase_if(attacks_, [&](const auto& attack) {
      return std::find(only_.begin(), only_.end(), attack->name) == only_.end();
    });
  }
}

Adversary::~Adversary() {
  stop();
  for (int fd : descriptors_) close(fd);
}

int Adversary::directory(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  descriptors_.push_back(fd);
  return fd;
}

void Adversary::add(std::string name, std::function<bool()> step) {
  auto attack = std::make_unique<Attack>();
  attack->name = std::move(name);
  attack->step = std::move(step);
  attacks_.push_back(std::move(attack));
}

void Adversary::start() {
  stopping_ = false;
  for (auto& attack : attacks_) {
    threads_.emplace_back([this, a = attack.get()] {
      while (!stopping_.load(std::memory_order_relaxed)) {
        if (a->step()) {
          a->operations.fetch_add(1, std::memory_order_relaxed);
        } else {
          a->failures.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
  }
}

void Adversary::stop() {
  stopping_ = true;
  for (auto& thread : threads_) thread.join();
  threads_.clear();
}

std::vector<AttackReport> Adversary::report() const {
  std::vector<AttackReport> reports;
  for (const auto& attack : attacks_) {
    reports.push_back({attack->name, attack->operations.load(), attack->failures.load()});
  }
  return reports;
}

}  // namespace stress
