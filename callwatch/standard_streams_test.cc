#include "standard_streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "child_process_test.h"

namespace {

int accessMode(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags < 0 ? -1 : flags & O_ACCMODE;
}

TEST(StandardStreams, ClosedStandardDescriptorsGetStandIns) {
  ChildResult child = runChild([] {
    close(0);
    close(1);
    close(2);
    reserveStandardDescriptors();
    char byte;
    bool ok = accessMode(0) == O_RDONLY && read(0, &byte, 1) == 0 &&  // end of file at once
              accessMode(1) == O_RDONLY && write(1, "x", 1) < 0 &&    // writes fail
              accessMode(2) == O_WRONLY && write(2, "x", 1) == 1;
    int next = open("/dev/null", O_RDONLY);
    _exit(ok && next == 3 ? 0 : 1);
  });
  EXPECT_EQ(child.status, 0);
}

TEST(StandardStreams, OpenStandardDescriptorsAreLeftAlone) {
  ChildResult child = runChild([] {
    reserveStandardDescriptors();
    _exit(write(1, "out", 3) == 3 && write(2, "err", 3) == 3 ? 0 : 1);
  });
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out, "out");
  EXPECT_EQ(child.err, "err");
}

TEST(StandardStreams, OnlyThePrivateCopyReachesStandardError) {
  ChildResult child = runChild([] {
    int messages = isolateStandardError();
    if (messages < 3 || fcntl(messages, F_GETFD) != FD_CLOEXEC) _exit(1);
    if (write(2, "library noise\n", 14) != 14) _exit(2);  // accepted and discarded
    if (write(messages, "message\n", 8) != 8) _exit(3);
    _exit(0);
  });
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.err, "message\n");
  EXPECT_EQ(child.out, "");
}

}  // namespace
