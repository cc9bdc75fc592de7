// The Darwin layer's decisions over every pairing of the outcomes its probes
// can see. No Darwin kernel runs here; platform-macos.cc asks exactly these.
#include "darwin_lookup.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace nookview {
namespace {

// No released Darwin defines ENOTCAPABLE: any value unlike the others
// stands for the one a system that defines it would pass.
constexpr int kNotCapable = 107;
constexpr int kOutcomes[] = {kSucceeded, kNotCapable, EACCES, EPERM, ENOENT, EINVAL};
constexpr const char* kNames[] = {"opened", "ENOTCAPABLE", "EACCES", "EPERM", "ENOENT", "EINVAL"};

TEST(DarwinLookup, EveryPairingOfOutcomes) {
  // Row: the outcome of "..", or of the stat probe, beneath the root. Columns
  // 0-5: the outcome of "/", when the system defines ENOTCAPABLE; 7-12: when
  // it does not; S: reader mode starts. Column 14: the beneath stat for the
  // row's outcome; c: component_rule, k: kernel_confined.
  const char* const table[] = {
      //"/": opened ENOTCAPABLE EACCES EPERM ENOENT EINVAL, twice
      "------ ------ k",  // opened
      "SSSSSS ------ k",  // ENOTCAPABLE
      "--S--- --S--- k",  // EACCES
      "------ ------ k",  // EPERM
      "------ ------ k",  // ENOENT
      "------ ------ c",  // EINVAL
  };
  for (int row = 0; row < 6; ++row) {
    EXPECT_EQ(darwin_beneath_stat(kOutcomes[row]) == BeneathStat::component_rule,
              table[row][14] == 'c')
        << "stat probe " << kNames[row];
    for (int column = 0; column < 13; ++column) {
      if (column == 6) continue;
      int not_capable = column < 6 ? kNotCapable : kUndefinedErrno;
      EXPECT_EQ(darwin_lookups_confined(kOutcomes[row], kOutcomes[column % 7], not_capable),
                table[row][column] == 'S')
          << "\"..\" " << kNames[row] << ", \"/\" " << kNames[column % 7]
          << (column < 6 ? "" : ", no ENOTCAPABLE");
    }
  }
}

}  // namespace
}  // namespace nookview
