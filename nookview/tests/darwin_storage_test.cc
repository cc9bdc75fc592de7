// What the Darwin layer takes from file and volume records, over the values
// a Mac can give. No Darwin kernel runs here; platform-macos.cc asks exactly
// these.
#include "darwin_storage.h"

#include <gtest/gtest.h>

#include <string>

#include "confined_read.h"

namespace nookview {
namespace {

constexpr uint32_t kHiddenArchivedCompressed = 0x00008000 | 0x00010000 | 0x00000020;

// A file named by a request, with these st_flags, is answered with: the
// status after record A, for a file of 5 bytes and one of 9000 ("0 2": it
// would be opened, or is out of range).
std::string answers(uint32_t st_flags) {
  std::string row;
  for (int64_t size : {5, 9000}) {
    FileStatus named = {};
    named.device = 7, named.type = FileType::regular, named.link_count = 1, named.size = size;
    named.dataless = darwin_dataless(st_flags);
    row += std::to_string(named_file_status(named, 7)) + (size == 5 ? " " : "");
  }
  return row;
}

TEST(DarwinStorage, DatalessFilesAreRefusedBeforeTheyAreOpened) {
  EXPECT_EQ(answers(0), "0 2");
  EXPECT_EQ(answers(kHiddenArchivedCompressed), "0 2");
  EXPECT_EQ(answers(kDarwinDataless), "1 1");
  EXPECT_EQ(answers(kDarwinDataless | kHiddenArchivedCompressed), "1 1");
}

TEST(DarwinStorage, OnlyVolumesTheKernelStoresLocallyAreLocal) {
  // With MNT_LOCAL set: L where the volume is taken as local.
  std::string seen;
  for (const char* type :
       {"apfs", "hfs", "msdos", "macfuse", "macfuse-local", "osxfuse", "osxfusefs", "fusefs",
        "lifs", "nfs", "smbfs", "afpfs", "webdav", "ftp", "virtiofs"}) {
    seen += darwin_local_volume(kDarwinMountLocal, 0, type) ? 'L' : '-';
  }
  EXPECT_EQ(seen, "LLL------------");
  // Without MNT_LOCAL, or mounted by FSKit: not local; other flags change nothing.
  EXPECT_FALSE(darwin_local_volume(0, 0, "apfs"));
  EXPECT_FALSE(darwin_local_volume(kDarwinMountLocal, kDarwinMountFskit, "msdos"));
  EXPECT_TRUE(darwin_local_volume(kDarwinMountLocal | 0x00004000, 0x1, "apfs"));
}

}  // namespace
}  // namespace nookview
