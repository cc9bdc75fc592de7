#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform-linux.h"
#include "platform.h"

namespace nookview {
namespace {

struct TypeCase {
  const char* name;
  uint64_t magic;
  bool remote;
};

class RemoteFileSystemType : public testing::TestWithParam<TypeCase> {};

TEST_P(RemoteFileSystemType, Classifies) {
  EXPECT_EQ(is_remote_file_system_type(GetParam().magic), GetParam().remote);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteFileSystemType,
    testing::Values(TypeCase{"nfs", 0x6969, true}, TypeCase{"smb", 0x517B, true},
                    TypeCase{"cifs", 0xFF534D42, true}, TypeCase{"smb2", 0xFE534D42, true},
                    TypeCase{"ceph", 0x00C36400, true}, TypeCase{"v9fs", 0x01021997, true},
                    TypeCase{"afs", 0x5346414F, true}, TypeCase{"kafs", 0x6B414653, true},
                    TypeCase{"fuse", 0x65735546, true}, TypeCase{"coda", 0x73757245, true},
                    TypeCase{"ncp", 0x564C, true}, TypeCase{"ocfs2", 0x7461636F, true},
                    TypeCase{"gfs2", 0x01161970, true}, TypeCase{"lustre", 0x0BD00BD0, true},
                    TypeCase{"gpfs", 0x47504653, true}, TypeCase{"vboxsf", 0x786F4256, true},
                    TypeCase{"vmhgfs", 0xBACBACBC, true}, TypeCase{"ext4", 0xEF53, false},
                    TypeCase{"tmpfs", 0x01021994, false}, TypeCase{"xfs", 0x58465342, false},
                    TypeCase{"btrfs", 0x9123683E, false}, TypeCase{"proc", 0x9FA0, false},
                    TypeCase{"zero", 0, false},
                    // A sign-extended f_type is masked before the lookup, never matched raw.
                    TypeCase{"cifsWidened", 0xFFFFFFFFFF534D42, false}),
    [](const testing::TestParamInfo<TypeCase>& row) { return row.param.name; });

TEST(LocalFileSystem, TemporaryDirectoryIsLocal) {
  int fd = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(on_local_file_system(fd));
  close(fd);
  EXPECT_FALSE(on_local_file_system(-1));
}

// A tree with every kind of object the open and stat modes must tell apart.
class Tree : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nookview-platform-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top_ = pattern;
    ASSERT_EQ(mkdir(at("root").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("root/dir").c_str(), 0755), 0);
    write_file("root/dir/file");
    write_file("root/linked");
    ASSERT_EQ(link(at("root/linked").c_str(), at("root/linked2").c_str()), 0);
    ASSERT_EQ(symlink("dir/file", at("root/link").c_str()), 0);
    ASSERT_EQ(symlink("dir", at("root/linkdir").c_str()), 0);
    ASSERT_EQ(mkfifo(at("root/fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("root", at("rootlink").c_str()), 0);
    write_file("outside");
    root_ = open(at("root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root_, 0);
  }
  void TearDown() override {
    if (root_ >= 0) close(root_);
    std::string command = "rm -rf '" + top_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string at(const std::string& relative) const { return top_ + "/" + relative; }
  void write_file(const std::string& relative) {
    int fd = open(at(relative).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);
  }
  // Whether `fd` came back open; closes it.
  static bool opened(int fd) {
    if (fd < 0) return false;
    close(fd);
    return true;
  }

  std::string top_;
  int root_ = -1;
};

TEST_F(Tree, DirectoryOpenRefusesLinksAndFiles) {
  EXPECT_TRUE(opened(open_directory(at("root").c_str())));
  EXPECT_TRUE(opened(open_directory(at("root/dir").c_str())));
  EXPECT_FALSE(opened(open_directory(at("rootlink").c_str())));
  EXPECT_FALSE(opened(open_directory(at("rootlink/dir").c_str())));
  EXPECT_FALSE(opened(open_directory(at("root/linkdir").c_str())));
  EXPECT_FALSE(opened(open_directory(at("outside").c_str())));
  EXPECT_FALSE(opened(open_directory(at("missing").c_str())));
}

TEST_F(Tree, BeneathDirectoryOpenStaysBeneathAndRefusesLinks) {
  EXPECT_TRUE(opened(open_directory_beneath(root_, "dir")));
  EXPECT_TRUE(opened(open_directory_beneath(root_, "dir/..")));
  EXPECT_FALSE(opened(open_directory_beneath(root_, "linkdir")));
  EXPECT_FALSE(opened(open_directory_beneath(root_, "dir/file")));
  EXPECT_FALSE(opened(open_directory_beneath(root_, at("root").c_str())));
  EXPECT_FALSE(opened(open_directory_beneath(root_, "")));
}

TEST_F(Tree, LeavingTheDirectoryFailsWithTheEscapeError) {
  errno = 0;
  EXPECT_FALSE(opened(open_directory_beneath(root_, "..")));
  EXPECT_EQ(errno, escape_errno());
  errno = 0;
  EXPECT_FALSE(opened(open_directory_beneath(root_, "dir/../..")));
  EXPECT_EQ(errno, escape_errno());
}

TEST_F(Tree, BeneathFileOpenWantsOneLinkAndNoSymbolicLink) {
  EXPECT_TRUE(opened(open_file_beneath(root_, "dir/file")));
  EXPECT_FALSE(opened(open_file_beneath(root_, "linked")));
  EXPECT_FALSE(opened(open_file_beneath(root_, "link")));
  EXPECT_FALSE(opened(open_file_beneath(root_, "linkdir/file")));
  EXPECT_FALSE(opened(open_file_beneath(root_, "../outside")));
  // Opening a FIFO without a writer must return at once rather than wait.
  EXPECT_TRUE(opened(open_file_beneath(root_, "fifo")));
}

TEST_F(Tree, BeneathStatReportsALinkWithoutFollowingIt) {
  FileStatus status{};
  ASSERT_TRUE(stat_beneath(root_, "link", &status));
  EXPECT_EQ(status.type, FileType::symbolic_link);
  ASSERT_TRUE(stat_beneath(root_, "dir/file", &status));
  EXPECT_EQ(status.type, FileType::regular);
  EXPECT_EQ(status.link_count, 1u);
  EXPECT_EQ(status.size, 1);
  ASSERT_TRUE(stat_beneath(root_, "linked", &status));
  EXPECT_EQ(status.link_count, 2u);
  ASSERT_TRUE(stat_beneath(root_, "fifo", &status));
  EXPECT_EQ(status.type, FileType::other);
  EXPECT_FALSE(stat_beneath(root_, "linkdir/file", &status));
  EXPECT_FALSE(stat_beneath(root_, "../outside", &status));
}

TEST_F(Tree, ExclusiveRenameNeverReplaces) {
  ASSERT_EQ(mkdir(at("root/dest").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(at("root/dest/dir").c_str(), 0755), 0);
  int dest = open(at("root/dest").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dest, 0);
  EXPECT_EQ(rename_exclusive(root_, "dir", dest, "dir"), RenameOutcome::name_taken);
  EXPECT_EQ(access(at("root/dir/file").c_str(), F_OK), 0);
  EXPECT_EQ(rename_exclusive(root_, "missing", dest, "missing"), RenameOutcome::failed);
  EXPECT_EQ(rename_exclusive(root_, "dir", dest, "moved"), RenameOutcome::moved);
  EXPECT_EQ(access(at("root/dest/moved/file").c_str(), F_OK), 0);
  close(dest);
}

TEST_F(Tree, ExclusiveRenameAcrossFileSystemsIsTold) {
  struct stat tmp, shm;
  if (stat("/dev/shm", &shm) != 0 || stat(top_.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  int other = open("/dev/shm", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_EQ(rename_exclusive(root_, "dir", other, "nookview-never-created"),
            RenameOutcome::cross_device);
  EXPECT_EQ(access(at("root/dir/file").c_str(), F_OK), 0);
  close(other);
}

}  // namespace
}  // namespace nookview
