// The Darwin layer's decisions over every pairing of the outcomes its probes
// can see. No Darwin kernel runs here; platform-macos.cc asks exactly these.
#include "darwin_lookup.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>

namespace nookview {
namespace {

// The refusal of an escape on macOS 26: errno 107, which the headers the
// project builds with do not name. Every row is decided twice: with headers
// that define ENOTCAPABLE as 107, and with headers that do not define it.
constexpr int kNotCapable = 107;
constexpr int kOutcomes[] = {kSucceeded, kNotCapable, EACCES, EPERM, ENOENT, EINVAL};

// One row per outcome of "..", or of the stat probe, beneath the root, as
// the decisions give it: columns 0-5 for the outcomes of "/" when the headers
// define ENOTCAPABLE, 7-12 when they do not (S: reader mode starts); column
// 14 the beneath stat for the row's outcome (c: component_rule, k:
// kernel_confined). A failure prints the table's difference.
std::string decisions(int parent) {
  std::string row;
  for (int not_capable : {kNotCapable, kUndefinedErrno}) {
    for (int absolute : kOutcomes)
      row += darwin_lookups_confined(parent, absolute, not_capable) ? 'S' : '-';
    row += ' ';
  }
  return row + (darwin_beneath_stat(parent) == BeneathStat::component_rule ? 'c' : 'k');
}

TEST(DarwinLookup, EveryPairingOfOutcomes) {
  std::string table;
  for (int parent : kOutcomes) table += decisions(parent) + "\n";
  EXPECT_EQ(table,
            //"/": opened ENOTCAPABLE EACCES EPERM ENOENT EINVAL, twice
            "------ ------ k\n"    // "..": opened
            "SSSSSS SSSSSS k\n"    // ENOTCAPABLE (107)
            "--S--- --S--- k\n"    // EACCES
            "------ ------ k\n"    // EPERM
            "------ ------ k\n"    // ENOENT
            "------ ------ c\n");  // EINVAL
}

}  // namespace
}  // namespace nookview
