#include "tree.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace stress {
namespace {

namespace fs = std::filesystem;

struct Placed {
  const char* request;
  size_t size;
  bool control;
};

// Sizes 0, 8001 and 9000 make status 2 a legitimate answer; 8000 spans two
// pages so that a torn read of an in-place rewrite is possible.
constexpr Placed kInside[] = {
    {"plain.txt", 300, true},  {"a/b/c/f", 700, true},      {"empty", 0, true},
    {"big", 8001, true},       {"l1/f", 1000, false},       {"a/l2/f", 2000, false},
    {"a/b/l3/f", 5000, false}, {"a/b/l3/big", 9000, false}, {"x/f", 1500, false},
    {"p/sa", 800, false},      {"p/sb", 900, false},        {"r/f", 1200, false},
    {"h/f", 3000, false},      {"w/f", 8000, false},        {"s/f", 400, false},
    {"q/f", 600, false},
};

// Markers beneath W/outside, each reachable from a request only by leaving
// the root: through the links in W/links.
constexpr Placed kMarkers[] = {
    {"m1/f", 1000, false},  {"m2/f", 2000, false}, {"m3/f", 5000, false},
    {"m3/big", 500, false}, {"mf", 400, false},
};

constexpr std::pair<const char*, const char*> kLinks[] = {
    {"s1", "m1"}, {"s2", "m2"}, {"s3", "m3"}, {"sf", "mf"}};

}  // namespace

void write_file(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  ssize_t written = write(fd, content.data(), content.size());
  close(fd);
  if (written != static_cast<ssize_t>(content.size())) {
    throw std::runtime_error("cannot write " + path);
  }
}

Tree::Tree(const std::string& parent) {
  std::string pattern = parent + "/nookview-stress-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp in " + parent);
  work_ = pattern;
  for (const Placed& file : kInside) {
    write_file(root() + "/" + file.request, make_content(Kind::inside, file.request, 0, file.size));
    write_file(work_ + "/decoy/" + file.request, make_content(Kind::decoy, file.request, 0, 600));
    generations_.try_emplace(file.request, 0);
  }
  for (const Placed& file : kMarkers) {
    write_file(work_ + "/outside/" + file.request,
               make_content(Kind::outside, file.request, 0, file.size));
  }
  write_file(work_ + "/outside/xo/f", make_content(Kind::visitor, "xo/f", 0, 1500));
  fs::create_directories(work_ + "/links");
  fs::create_directories(work_ + "/stage");
  for (auto [link, target] : kLinks) {
    fs::create_symlink(work_ + "/outside/" + target, work_ + "/links/" + link);
  }

  // A FIFO that is exchanged with q/f: a reader that blocks on it hangs.
  if (mkfifo((root() + "/q/pipe").c_str(), 0644) != 0) throw std::runtime_error("mkfifo");

  for (const Placed& file : kInside) {
    Target target{file.request,
                  {{Kind::inside, file.request}},
                  file.size == 0 || file.size > 8000,
                  file.control};
    std::string request = file.request;
    if (request == "x/f") target.allowed.push_back({Kind::visitor, "xo/f"});
    if (request == "p/sa") target.allowed.push_back({Kind::inside, "p/sb"});
    if (request == "p/sb") target.allowed.push_back({Kind::inside, "p/sa"});
    targets_.push_back(target);
  }
  targets_.push_back(Target{"q/pipe", {{Kind::inside, "q/f"}}, false, false});
}

Tree::~Tree() {
  std::error_code ignored;
  fs::remove_all(work_, ignored);
}

uint64_t Tree::latest(const std::string& origin) const {
  auto found = generations_.find(origin);
  return found == generations_.end() ? 0 : found->second.load();
}

uint64_t Tree::next_generation(const std::string& origin) {
  return generations_.at(origin).fetch_add(1) + 1;
}

}  // namespace stress
