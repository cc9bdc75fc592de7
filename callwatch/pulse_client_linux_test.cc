#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "child_process_test.h"
#include "pulse_client-linux.h"

namespace {

using namespace std::chrono_literals;

// A private directory standing in for the user's home and runtime
// directories, so no setting of the machine's own user leaks in.
class PulseClientTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/callwatch-pulse-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // Runs `body` in a child that would reach the server at `socketPath`.
  ChildResult withServerAt(const std::string& socketPath, const std::function<bool()>& body) {
    return runChild([&] {
      setenv("PULSE_SERVER", ("unix:" + socketPath).c_str(), 1);
      setenv("HOME", dir.c_str(), 1);
      setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
      unsetenv("DISPLAY");
      _exit(body() ? 0 : 1);
    });
  }

  std::string dir;
};

TEST_F(PulseClientTest, NoServerMeansNoConnectionAndNoSnapshot) {
  ChildResult child = withServerAt(dir + "/missing", [] {
    PulseClient client;
    return !client.connect(1000ms) && !client.snapshot(300ms);
  });
  EXPECT_EQ(child.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing"));
}

// A socket that takes connections into its backlog but never answers, as a
// stopped server does: every call still returns within its budget.
TEST_F(PulseClientTest, AServerThatNeverAnswersCannotHoldACall) {
  std::string path = dir + "/native";
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 16), 0);

  ChildResult child = withServerAt(path, [] {
    PulseClient client;
    auto start = std::chrono::steady_clock::now();
    bool failed = !client.connect(200ms) && !client.snapshot(200ms) && !client.snapshot(200ms);
    // Far above the budgets, far below a hang.
    return failed && std::chrono::steady_clock::now() - start < 5s;
  });
  close(listener);
  EXPECT_EQ(child.status, 0);
}

}  // namespace
