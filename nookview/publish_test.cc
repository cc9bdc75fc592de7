#include "publish.h"

#include <gtest/gtest.h>

#include <string>

namespace nookview {
namespace {

struct NumberCase {
  std::string text;
  uint64_t value;
  bool matches;
};

class MatchesNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(MatchesNumber, AcceptsOnlyThePlainDecimalForm) {
  EXPECT_EQ(matches_number(GetParam().text.c_str(), GetParam().value), GetParam().matches)
      << "text: \"" << GetParam().text << "\", value " << GetParam().value;
}

constexpr uint64_t kMax = 18446744073709551615u;

INSTANTIATE_TEST_SUITE_P(
    Table, MatchesNumber,
    testing::Values(NumberCase{"0", 0, true}, NumberCase{"42", 42, true},
                    NumberCase{"42", 43, false}, NumberCase{"00042", 42, true},
                    NumberCase{"000", 0, true}, NumberCase{"18446744073709551615", kMax, true},
                    NumberCase{"018446744073709551615", kMax, true},
                    // One beyond the largest value must not wrap or saturate into a match.
                    NumberCase{"18446744073709551616", kMax, false},
                    NumberCase{"18446744073709551616", 0, false},
                    NumberCase{"99999999999999999999999", kMax, false},
                    NumberCase{"+42", 42, false}, NumberCase{"-1", kMax, false},
                    NumberCase{" 42", 42, false}, NumberCase{"\t42", 42, false},
                    NumberCase{"42 ", 42, false}, NumberCase{"42x", 42, false},
                    NumberCase{"0x2A", 42, false}, NumberCase{"", 0, false},
                    // A Darwin device number of -1, widened and taken as unsigned.
                    NumberCase{"18446744073709551615", static_cast<uint64_t>(int64_t{-1}), true}));

}  // namespace
}  // namespace nookview
