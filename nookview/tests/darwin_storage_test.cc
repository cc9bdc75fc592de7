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
  constexpr uint32_t kLocal = kDarwinMountLocal, kRootData = 0x1;
  struct Row {
    uint32_t flags, flags_ext;
    const char* type;
    bool local;
  } rows[] = {
      {kLocal, 0, "apfs", true},     {kLocal, kRootData, "apfs", true},
      {kLocal, 0, "hfs", true},      {kLocal, 0, "msdos", true},
      {0, 0, "apfs", false},         {kLocal, kDarwinMountFskit, "msdos", false},
      {kLocal, 0, "macfuse", false}, {kLocal, kDarwinMountFskit, "macfuse-local", false},
      {kLocal, 0, "osxfuse", false}, {kLocal, 0, "osxfusefs", false},
      {kLocal, 0, "fusefs", false},  {kLocal, 0, "lifs", false},
      {kLocal, 0, "nfs", false},     {kLocal, 0, "smbfs", false},
      {kLocal, 0, "afpfs", false},   {kLocal, 0, "webdav", false},
      {kLocal, 0, "ftp", false},     {kLocal, 0, "virtiofs", false},
      {0, 0, "nfs", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(darwin_local_volume(row.flags, row.flags_ext, row.type), row.local)
        << row.type << " flags " << row.flags << " extended " << row.flags_ext;
  }
}

}  // namespace
}  // namespace nookview
