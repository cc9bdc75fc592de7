// The self-restriction is irreversible, so every case restricts a forked
// child and reports through the child's exit status: 0 when every check held,
// otherwise 1 plus the index of the first check that did not.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform.h"

namespace nookview {
namespace {

long landlock_abi() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
}

struct Check {
  const char* what;
  std::function<bool()> holds;
};

// Runs `restrict` and then `checks` in a child; returns "" or what failed.
std::string in_restricted_child(const std::function<bool()>& restrict,
                                const std::vector<Check>& checks) {
  pid_t child = fork();
  if (child == 0) {
    if (!restrict()) _exit(1);
    for (size_t i = 0; i < checks.size(); ++i) {
      if (!checks[i].holds()) _exit(static_cast<int>(2 + i));
    }
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return "fork or wait failed";
  if (!WIFEXITED(status)) return "child killed by signal " + std::to_string(WTERMSIG(status));
  int code = WEXITSTATUS(status);
  if (code == 0) return "";
  if (code == 1) return "the restriction failed";
  return checks[static_cast<size_t>(code - 2)].what;
}

bool refused(int result) {
  if (result >= 0) close(result);
  return result < 0 && errno == EACCES;
}

bool opens(int result) {
  if (result < 0) return false;
  close(result);
  return true;
}

void write_file(const std::string& path, const char* text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
  close(fd);
}

class Sandbox : public testing::Test {
 protected:
  void SetUp() override {
    if (landlock_abi() < 1) GTEST_SKIP() << "the kernel offers no Landlock";
    top_ = make_directory("/tmp");
  }
  void TearDown() override {
    for (const std::string& dir : made_) {
      std::string command = "rm -rf '" + dir + "'";
      EXPECT_EQ(system(command.c_str()), 0);
    }
  }
  std::string make_directory(const char* under) {
    std::string pattern = std::string(under) + "/nookview-sandbox-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return "";
    made_.push_back(pattern);
    return pattern;
  }
  static int open_dir(const std::string& path) {
    return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  std::string top_;
  std::vector<std::string> made_;
};

TEST_F(Sandbox, RootRestrictionLeavesOnlyReadingBeneathTheRoot) {
  std::string root = top_ + "/root";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
  write_file(root + "/inside", "inside");
  write_file(root + "/sub/deep", "deep");
  write_file(top_ + "/beside", "beside");
  // Reachable before the restriction, so a refusal afterwards is the kernel's.
  ASSERT_TRUE(opens(open("/etc/hostname", O_RDONLY | O_CLOEXEC)));
  int fd = open_dir(root);
  ASSERT_GE(fd, 0);

  std::vector<Check> checks = {
      {"reads a file beneath the root",
       [&] { return opens(openat(fd, "inside", O_RDONLY | O_CLOEXEC)); }},
      {"reads a file deeper down",
       [&] { return opens(openat(fd, "sub/deep", O_RDONLY | O_CLOEXEC)); }},
      {"reads a file by its absolute path",
       [&] { return opens(open((root + "/inside").c_str(), O_RDONLY | O_CLOEXEC)); }},
      {"opens the root again by its path", [&] { return opens(open_dir(root)); }},
      {"lists a directory beneath the root", [&] { return opens(open_dir(root + "/sub")); }},
      {"the stat-only open still works",
       [&] { return opens(openat(fd, "inside", O_PATH | O_CLOEXEC)); }},
      {"refuses /etc/hostname", [] { return refused(open("/etc/hostname", O_RDONLY)); }},
      {"refuses a file beside the root",
       [&] { return refused(open((top_ + "/beside").c_str(), O_RDONLY)); }},
      {"refuses listing the root's parent", [&] { return refused(open_dir(top_)); }},
      {"refuses writing beneath the root",
       [&] { return refused(openat(fd, "inside", O_WRONLY | O_CLOEXEC)); }},
      {"refuses creating a file beneath the root",
       [&] { return refused(openat(fd, "new", O_WRONLY | O_CREAT | O_CLOEXEC, 0644)); }},
      {"refuses making a directory", [&] { return refused(mkdirat(fd, "made", 0755)); }},
      {"refuses removing a file", [&] { return refused(unlinkat(fd, "inside", 0)); }},
      {"refuses renaming beneath the root",
       [&] { return refused(renameat(fd, "inside", fd, "renamed")); }},
  };
  if (landlock_abi() >= 4) {
    checks.push_back({"refuses a TCP connection", [] {
                        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                        sockaddr_in to = {};
                        to.sin_family = AF_INET;
                        to.sin_port = htons(9);
                        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                        int result = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
                        int error = errno;
                        close(s);
                        return result < 0 && error == EACCES;
                      }});
  }
  EXPECT_EQ(in_restricted_child([&] { return restrict_to_root(fd); }, checks), "");
  close(fd);
}

// Each publish outcome, restricted and not, in a fresh pair of directories:
// the restriction must not change what the rename reports or does.
struct PublishCase {
  const char* name;
  bool destination_on_other_device;
  bool name_already_taken;
  bool entry_is_file;  // what a concurrent swap of the entry could leave
  RenameOutcome unrestricted;
  RenameOutcome restricted;
};

class PublishSandbox : public Sandbox, public testing::WithParamInterface<PublishCase> {};

TEST_P(PublishSandbox, RenameOutcomeIsKept) {
  const PublishCase& row = GetParam();
  struct stat shm, tmp;
  if (row.destination_on_other_device &&
      (stat("/dev/shm", &shm) != 0 || stat("/tmp", &tmp) != 0 || shm.st_dev == tmp.st_dev)) {
    GTEST_SKIP() << "/dev/shm is not a file system of its own here";
  }
  for (bool restricted : {false, true}) {
    SCOPED_TRACE(restricted ? "restricted" : "unrestricted");
    std::string source = make_directory("/tmp");
    std::string destination = make_directory(row.destination_on_other_device ? "/dev/shm" : "/tmp");
    ASSERT_FALSE(source.empty() || destination.empty());
    write_file(source + "/kept", "kept");
    if (row.entry_is_file) {
      write_file(source + "/entry", "file");
    } else {
      ASSERT_EQ(mkdir((source + "/entry").c_str(), 0755), 0);
      write_file(source + "/entry/notes", "notes");
    }
    if (row.name_already_taken) {
      ASSERT_EQ(mkdir((destination + "/entry").c_str(), 0755), 0);
    }
    int from = open_dir(source);
    int to = open_dir(destination);
    ASSERT_GE(from, 0);
    ASSERT_GE(to, 0);
    RenameOutcome expected = restricted ? row.restricted : row.unrestricted;
    std::vector<Check> checks = {
        {"rename outcome",
         [&] { return rename_exclusive(from, "entry", to, "entry") == expected; }},
    };
    if (restricted) {
      checks.push_back(
          {"refuses /etc/hostname", [] { return refused(open("/etc/hostname", O_RDONLY)); }});
      checks.push_back({"refuses creating a file in the destination", [&] {
                          return refused(openat(to, "new", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                        }});
      checks.push_back({"refuses reading beneath the source",
                        [&] { return refused(openat(from, "kept", O_RDONLY | O_CLOEXEC)); }});
    }
    EXPECT_EQ(
        in_restricted_child([&] { return !restricted || restrict_to_publish(from, to); }, checks),
        "");
    bool moved = expected == RenameOutcome::moved;
    struct stat st;
    EXPECT_EQ(lstat((source + "/entry").c_str(), &st) == 0, !moved);
    EXPECT_EQ(lstat((destination + "/entry").c_str(), &st) == 0, moved || row.name_already_taken);
    close(from);
    close(to);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PublishSandbox,
    testing::Values(PublishCase{"moved", false, false, false, RenameOutcome::moved,
                                RenameOutcome::moved},
                    PublishCase{"nameTaken", false, true, false, RenameOutcome::name_taken,
                                RenameOutcome::name_taken},
                    PublishCase{"crossDevice", true, false, false, RenameOutcome::cross_device,
                                RenameOutcome::cross_device},
                    PublishCase{"crossDeviceAndTaken", true, true, false,
                                RenameOutcome::cross_device, RenameOutcome::cross_device},
                    // Publish mode identifies a directory before it restricts itself; if
                    // a file took the name meanwhile, the restriction refuses to move it.
                    PublishCase{"fileInPlaceOfEntry", false, false, true, RenameOutcome::moved,
                                RenameOutcome::failed}),
    [](const testing::TestParamInfo<PublishCase>& row) { return row.param.name; });

TEST_F(Sandbox, PublishWithinOneDirectoryKeepsNameTaken) {
  ASSERT_EQ(mkdir((top_ + "/entry").c_str(), 0755), 0);
  int dir = open_dir(top_);
  ASSERT_GE(dir, 0);
  std::vector<Check> checks = {
      {"same directory, same name: name taken",
       [&] { return rename_exclusive(dir, "entry", dir, "entry") == RenameOutcome::name_taken; }},
  };
  EXPECT_EQ(in_restricted_child([&] { return restrict_to_publish(dir, dir); }, checks), "");
  close(dir);
}

}  // namespace
}  // namespace nookview
