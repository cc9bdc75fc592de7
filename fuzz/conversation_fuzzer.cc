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
// Every path text that gets status 0 or 2; any other gets 1.
const std::map<std::string, std::pair<char, std::string>> kReplies = {
    {"f", {0, "hello"}}, {"d/g", {0, "deep"}}, {"empty", {2, ""}}, {"big", {2, ""}}};

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
  put("f", "hello"), put("d/g", "deep"), put("empty", ""), put("big", std::string(8001, 'b'));
  if (symlink("f", (root + "/sym").c_str()) != 0) abort();
}

std::string expected_replies(const std::string& input) {
  std::string out(3, '\0');
  for (size_t at = 0; at + 2 <= input.size();) {
    size_t length = static_cast<size_t>(static_cast<uint8_t>(input[at])) << 8 |
                    static_cast<uint8_t>(input[at + 1]);
    std::string path = input.substr(at + 2, length);
    if (length == 0 || length > 1023 || path.size() < length || path.find('\0') != path.npos) break;
    at += 2 + length;
    auto known = kReplies.find(path);
    auto [status, data] =
        known == kReplies.end() ? std::pair<char, std::string>{1, ""} : known->second;
    out += std::string{status, '\0', static_cast<char>(data.size())} + data;
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
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string root_frame{static_cast<char>(root.size() >> 8),
                         static_cast<char>(root.size() & 0xFF)};
  int in = memory_file(root_frame + root + input);
  int out = memory_file("");
  dup2(in, 0), dup2(out, 1);
  int status = nookview::run_reader();
  dup2(saved_in, 0), dup2(saved_out, 1);
  close(saved_in), close(saved_out), close(in);
  std::string got(static_cast<size_t>(lseek(out, 0, SEEK_END)), '\0');
  if (pread(out, got.data(), got.size(), 0) != static_cast<ssize_t>(got.size())) abort();
  close(out);
  if (status != 0 || got != expected_replies(input)) abort();
  return 0;
}
