#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

// The open, stat and rename modes themselves are checked through the program
// (tests/read_test.py, frames_test.py, publish_test.py, mounts_test.py), where
// a tree of links, hard links, mounts and other devices is built for them.

}  // namespace
}  // namespace nookview
