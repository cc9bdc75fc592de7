// Whole reader-mode conversations in this process, over a fixed tree: the
// fuzzer's bytes follow a root frame naming the tree on descriptor 0, and the
// replies on descriptor 1 must be exactly the handshake and then, for every
// valid request frame up to the first invalid one, the reply the tree gives
// for that path text. The frames are parsed here independently of nookview.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform.h"
#include "reader.h"

// The fuzzer must stay free to write its corpus: no self-restriction here.
namespace nookview {
bool restrict_to_root(int) {
  return true;
}
bool restrict_to_publish(int, int) {
  return true;
}
}  // namespace nookview

namespace {

std::string root;
const std::map<std::string, std::string> kServed = {{"f", "hello"}, {"d/g", "deep"}};
const char* const kTooLarge[] = {"empty", "big"};

void put(const std::string& name, const std::string& data) {
  int fd = open((root + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) abort();
  close(fd);
}

void make_tree() {
  char dir[] = "/tmp/nookview-fuzz-XXXXXX";
  if (!mkdtemp(dir)) abort();
  root = dir;
  mkdir((root + "/d").c_str(), 0755);
  for (const auto& [name, data] : kServed) put(name, data);
  put("empty", ""), put("big", std::string(8001, 'b'));
  if (symlink("f", (root + "/sym").c_str()) != 0) abort();
}

std::string frame(const std::string& text) {
  return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)} +
         text;
}

std::string expected_replies(const uint8_t* data, size_t size) {
  std::string out(3, '\0');
  for (size_t at = 0; at + 2 <= size;) {
    size_t length = static_cast<size_t>(data[at]) << 8 | data[at + 1];
    if (length == 0 || length > 1023 || at + 2 + length > size) break;
    std::string path(reinterpret_cast<const char*>(data + at + 2), length);
    if (path.find('\0') != std::string::npos) break;
    at += 2 + length;
    auto served = kServed.find(path);
    bool too_large = path == kTooLarge[0] || path == kTooLarge[1];
    if (served != kServed.end()) {
      out += std::string{'\0', '\0', static_cast<char>(served->second.size())} + served->second;
    } else {
      out += std::string{static_cast<char>(too_large ? 2 : 1), '\0', '\0'};
    }
  }
  return out;
}

int memory_file(const std::string& contents) {
  int fd = memfd_create("conversation", MFD_CLOEXEC);
  if (fd < 0 ||
      write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
    abort();
  lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (root.empty()) make_tree();
  int saved_in = dup(0), saved_out = dup(1);
  int in = memory_file(frame(root) + std::string(reinterpret_cast<const char*>(data), size));
  int out = memory_file("");
  dup2(in, 0), dup2(out, 1);
  int status = nookview::run_reader();
  dup2(saved_in, 0), dup2(saved_out, 1);
  close(saved_in), close(saved_out), close(in);
  std::string got(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
  if (pread(out, got.data(), got.size(), 0) != static_cast<ssize_t>(got.size())) abort();
  close(out);
  if (status != 0 || got != expected_replies(data, size)) abort();
  return 0;
}
