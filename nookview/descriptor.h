// A descriptor that closes itself when its owner goes out of scope, so that
// every path out of a request or a test closes what it opened.
#pragma once

#include <unistd.h>

namespace nookview {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { close_now(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  bool is_open() const { return fd_ >= 0; }
  int get() const { return fd_; }

  // close(2) is not repeated after EINTR: on Linux the descriptor is gone
  // by then, and a second close could hit a reused number.
  void close_now() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace nookview
