// Whole reader-mode conversations, run in this process over a fixed tree of
// every kind of object reader mode must tell apart. Descriptors 0 and 1 are
// pointed at two in-memory files for each run: the input holds the frames,
// the output collects the replies, which are then judged byte by byte.
//
// Input: byte 0 holds two choices.
//   bit 0 clear: a root frame naming the fixed tree comes first;
//         set:   the root frame comes from the input too.
//   bit 1 clear: the rest of the input is the byte stream as is;
//         set:   the rest is pieces (one length byte, then that many bytes),
//                each sent as one frame; a piece of length 0 is sent as the
//                invalid frame of length 0, which ends the conversation.
//
// What must hold: with the fixed tree as root, the handshake and then exactly
// one reply per valid request frame up to the first invalid one, each equal
// to what the tree gives for that path (every servable file and every size
// refusal has exactly one valid path text; anything else is status 1). With a
// root from the input: no reply when the root text is malformed, otherwise a
// failure reply or a handshake followed by well-formed replies. Exit status
// as documented, and no descriptor left open.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "reader.h"

namespace {

std::string top;
std::string root;
// Path text beneath the root -> status and data of its reply.
std::map<std::string, std::pair<uint8_t, std::string>> tree_replies;
int saved_input;
int saved_output;
int input_file;
int output_file;

void fail(const char* what) {
  fprintf(stderr, "conversation_fuzzer: %s\n", what);
  abort();
}

void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

void put_file(const std::string& path, const std::string& content) {
  int fd = open((root + "/" + path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "cannot create a file of the tree");
  check(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()),
        "cannot write a file of the tree");
  close(fd);
}

void serve(const std::string& path, const std::string& content) {
  put_file(path, content);
  tree_replies[path] = {0, content};
}

void too_small_or_large(const std::string& path, size_t size) {
  put_file(path, std::string(size, 'z'));
  tree_replies[path] = {2, ""};
}

void remove_tree() {
  std::string command = "rm -rf '" + top + "'";
  if (system(command.c_str()) != 0)
    fprintf(stderr, "conversation_fuzzer: cannot remove %s\n", top.c_str());
}

void make_tree() {
  char pattern[] = "/tmp/nookview-fuzz-XXXXXX";
  check(mkdtemp(pattern) != nullptr, "mkdtemp");
  top = pattern;
  root = top + "/root";
  atexit(remove_tree);
  for (const char* dir : {"", "/dir", "/dir/sub", "/.hidden-dir"}) {
    check(mkdir((root + dir).c_str(), 0755) == 0, "mkdir");
  }
  serve("a.txt", "alpha\n");
  serve("dir/b", std::string(100, 'b'));
  serve("dir/sub/c", std::string(8000, 'c'));
  serve("dir/sub/one", "1");
  serve("name with spaces", "spaces");
  serve(
      "\xc3\xbcnic\xc3\xb6"
      "de",
      "utf-8 name");
  serve("dir/sub/" + std::string(255, 'n'), "longest name");
  too_small_or_large("big", 8001);
  too_small_or_large("empty", 0);
  too_small_or_large("dir/huge", 70000);
  // Refused whatever their size: links, a second hard link, a FIFO, a
  // hidden name, a directory.
  put_file(".hidden", "hidden");
  put_file(".hidden-dir/f", "hidden");
  put_file("hard1", "hard");
  check(link((root + "/hard1").c_str(), (root + "/hard2").c_str()) == 0, "link");
  check(symlink("a.txt", (root + "/link").c_str()) == 0, "symlink");
  check(symlink("dir", (root + "/dirlink").c_str()) == 0, "symlink");
  check(symlink("../..", (root + "/up").c_str()) == 0, "symlink");
  check(symlink("/etc/hostname", (root + "/absolute").c_str()) == 0, "symlink");
  check(mkfifo((root + "/fifo").c_str(), 0644) == 0, "mkfifo");
  int outside = open((top + "/outside").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  check(outside >= 0 && write(outside, "outside", 7) == 7, "outside file");
  close(outside);
}

std::string frame(const std::string& text) {
  std::string bytes(1, static_cast<char>(text.size() >> 8));
  bytes += static_cast<char>(text.size() & 0xFF);
  return bytes + text;
}

// The valid frames at the start of a stream, up to the first invalid one.
std::vector<std::string> valid_frames(const std::string& stream) {
  std::vector<std::string> texts;
  size_t at = 0;
  while (stream.size() - at >= 2) {
    size_t length = static_cast<uint8_t>(stream[at]) * 256u + static_cast<uint8_t>(stream[at + 1]);
    if (length < 1 || length > 1023 || stream.size() - at - 2 < length) break;
    std::string text = stream.substr(at + 2, length);
    if (text.find('\0') != std::string::npos) break;
    texts.push_back(text);
    at += 2 + length;
  }
  return texts;
}

bool well_formed_root_text(const std::string& text) {
  if (text.size() < 2 || text[0] != '/') return false;
  size_t start = 1;
  for (;;) {
    size_t slash = text.find('/', start);
    size_t end = slash == std::string::npos ? text.size() : slash;
    if (end == start || end - start > 255 || text[start] == '.') return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

std::string request_stream(const uint8_t* data, size_t size, bool pieces) {
  if (!pieces) return std::string(reinterpret_cast<const char*>(data), size);
  std::string stream;
  size_t at = 0;
  while (at < size) {
    size_t length = data[at++];
    if (length > size - at) length = size - at;
    stream += frame(std::string(reinterpret_cast<const char*>(data + at), length));
    at += length;
  }
  return stream;
}

int lowest_free_descriptor() {
  int fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
  close(fd);
  return fd;
}

// Runs reader mode with `stream` on descriptor 0; returns the exit status and
// fills `replies` with everything written on descriptor 1.
int converse(const std::string& stream, std::string* replies) {
  check(ftruncate(input_file, 0) == 0, "ftruncate");
  check(pwrite(input_file, stream.data(), stream.size(), 0) == static_cast<ssize_t>(stream.size()),
        "pwrite");
  check(lseek(input_file, 0, SEEK_SET) == 0, "lseek");
  check(ftruncate(output_file, 0) == 0 && lseek(output_file, 0, SEEK_SET) == 0, "ftruncate");
  check(dup2(input_file, 0) == 0 && dup2(output_file, 1) == 1, "dup2");
  int status = nookview::run_reader();
  check(dup2(saved_input, 0) == 0 && dup2(saved_output, 1) == 1, "dup2 back");
  struct stat st;
  check(fstat(output_file, &st) == 0, "fstat");
  replies->resize(static_cast<size_t>(st.st_size));
  check(pread(output_file, replies->data(), replies->size(), 0) == st.st_size, "pread");
  return status;
}

// Splits the replies after the handshake; false when they are malformed.
bool split_replies(const std::string& bytes, size_t at,
                   std::vector<std::pair<uint8_t, std::string>>* replies) {
  while (at < bytes.size()) {
    if (bytes.size() - at < 3) return false;
    uint8_t status = static_cast<uint8_t>(bytes[at]);
    size_t length =
        static_cast<uint8_t>(bytes[at + 1]) * 256u + static_cast<uint8_t>(bytes[at + 2]);
    if (status > 2) return false;
    if (status == 0 ? (length < 1 || length > 8000) : length != 0) return false;
    if (bytes.size() - at - 3 < length) return false;
    replies->push_back({status, bytes.substr(at + 3, length)});
    at += 3 + length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  make_tree();
  saved_input = fcntl(0, F_DUPFD_CLOEXEC, 10);
  saved_output = fcntl(1, F_DUPFD_CLOEXEC, 10);
  input_file = memfd_create("conversation-input", MFD_CLOEXEC);
  output_file = memfd_create("conversation-output", MFD_CLOEXEC);
  check(saved_input >= 0 && saved_output >= 0 && input_file >= 0 && output_file >= 0, "set-up");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  bool root_from_input = (data[0] & 1) != 0;
  bool pieces = (data[0] & 2) != 0;
  std::string stream = request_stream(data + 1, size - 1, pieces);
  if (!root_from_input) stream = frame(root) + stream;

  int free_before = lowest_free_descriptor();
  std::string output;
  int status = converse(stream, &output);
  check(lowest_free_descriptor() == free_before, "a descriptor was left open");

  std::vector<std::string> frames = valid_frames(stream);
  if (frames.empty() || !well_formed_root_text(frames[0])) {
    check(status == 1 && output.empty(), "malformed root text must end without a reply");
    return 0;
  }
  if (output == std::string("\x01\x00\x00", 3)) {
    check(status == 1, "a refused root must exit 1");
    check(frames[0] != root, "the fixed tree was refused");
    return 0;
  }
  check(output.compare(0, 3, std::string(3, '\0')) == 0, "no handshake");
  check(status == 0, "a served conversation must exit 0");
  std::vector<std::pair<uint8_t, std::string>> replies;
  check(split_replies(output, 3, &replies), "malformed reply");
  check(replies.size() == frames.size() - 1, "not one reply per request");
  if (frames[0] != root) return 0;
  for (size_t i = 0; i < replies.size(); ++i) {
    auto known = tree_replies.find(frames[i + 1]);
    std::pair<uint8_t, std::string> expected =
        known == tree_replies.end() ? std::pair<uint8_t, std::string>{1, ""} : known->second;
    check(replies[i] == expected, "reply differs from what the tree holds");
  }
  return 0;
}
