#include "confined_read.h"

#include <gtest/gtest.h>

#include <string>

namespace nookview {
namespace {

FileStatus regular_file() {
  return FileStatus{.device = 7,
                    .inode = 1234,
                    .type = FileType::regular,
                    .link_count = 1,
                    .size = 100,
                    .modified_seconds = 1700000000,
                    .modified_nanoseconds = 5,
                    .changed_seconds = 1700000001,
                    .changed_nanoseconds = 6};
}

struct Change {
  const char* name;
  void (*apply)(FileStatus&);
  bool same;
};

class SameFile : public testing::TestWithParam<Change> {};

// The second record is the later observation; every field that a rename,
// replacement, append or rewrite in place changes must be noticed.
TEST_P(SameFile, ComparesIdentityTypeLinksSizeAndTimes) {
  FileStatus first = regular_file();
  FileStatus second = first;
  GetParam().apply(second);
  EXPECT_EQ(same_file(first, second), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SameFile,
    testing::Values(
        Change{"unchanged", [](FileStatus&) {}, true},
        Change{"device", [](FileStatus& s) { s.device = 8; }, false},
        Change{"inode", [](FileStatus& s) { s.inode = 1235; }, false},
        Change{"directory", [](FileStatus& s) { s.type = FileType::directory; }, false},
        Change{"symbolicLink", [](FileStatus& s) { s.type = FileType::symbolic_link; }, false},
        Change{"otherType", [](FileStatus& s) { s.type = FileType::other; }, false},
        Change{"secondLink", [](FileStatus& s) { s.link_count = 2; }, false},
        Change{"noLink", [](FileStatus& s) { s.link_count = 0; }, false},
        Change{"size", [](FileStatus& s) { s.size = 101; }, false},
        Change{"mtimeSeconds", [](FileStatus& s) { s.modified_seconds += 1; }, false},
        Change{"mtimeNanoseconds", [](FileStatus& s) { s.modified_nanoseconds += 1; }, false},
        Change{"ctimeSeconds", [](FileStatus& s) { s.changed_seconds += 1; }, false},
        Change{"ctimeNanoseconds", [](FileStatus& s) { s.changed_nanoseconds += 1; }, false}),
    [](const testing::TestParamInfo<Change>& row) { return row.param.name; });

TEST(SameDevicePrefixes, RestoresThePathItSplits) {
  PathBuffer path = "no/such/dir/file";
  // The root descriptor is invalid, so the first prefix fails to open.
  EXPECT_FALSE(same_device_prefixes(-1, path, 0));
  EXPECT_STREQ(path, "no/such/dir/file");
}

TEST(SameDevicePrefixes, PathWithoutSlashNeedsNoDirectory) {
  PathBuffer path = "file";
  EXPECT_TRUE(same_device_prefixes(-1, path, 0));
}

}  // namespace
}  // namespace nookview
