#include "frames.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace nookview {
namespace {

// valid_components ------------------------------------------------------------

struct ComponentCase {
  std::string text;
  bool valid;
};

class ValidComponents : public testing::TestWithParam<ComponentCase> {};

TEST_P(ValidComponents, JudgesEveryComponent) {
  EXPECT_EQ(valid_components(GetParam().text.c_str()), GetParam().valid)
      << "text: \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(Table, ValidComponents,
                         testing::Values(ComponentCase{"a", true}, ComponentCase{"a/b.c", true},
                                         ComponentCase{"a.", true}, ComponentCase{"notes.", true},
                                         ComponentCase{"a/b/c/d", true},
                                         ComponentCase{"\xff\x01 x", true},
                                         ComponentCase{std::string(255, 'x'), true},
                                         ComponentCase{"a/" + std::string(255, 'x') + "/b", true},
                                         ComponentCase{std::string(256, 'x'), false},
                                         ComponentCase{"a/" + std::string(256, 'x'), false},
                                         ComponentCase{"", false}, ComponentCase{"/", false},
                                         ComponentCase{"/a", false}, ComponentCase{"a/", false},
                                         ComponentCase{"a//b", false}, ComponentCase{".", false},
                                         ComponentCase{"..", false}, ComponentCase{".a", false},
                                         ComponentCase{"a/..", false}, ComponentCase{"a/.", false},
                                         ComponentCase{"a/.b/c", false},
                                         ComponentCase{"../a", false}));

// Whole frames over real pipes, refusals and exact reply bytes are checked
// end to end (tests/frames_test.py); here the system calls are scripted to
// reach what a pipe cannot show on demand.

std::string frame(const std::string& text) {
  return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xFF)} +
         text;
}

// Scripted calls: interruptions, short transfers, errors, a write of 0 -------

enum class Kind { interrupt, fail, zero, take };
struct Step {
  Kind kind;
  size_t limit = 0;  // for take: at most this many bytes
};

// One scripted conversation; once the steps run out every call transfers all
// it may. Reads hand out `input` and report its end with 0.
struct Fake {
  std::vector<Step> steps;
  size_t next = 0;
  std::string input;
  std::string output;
  std::vector<size_t> requested;  // the count of every call
};
Fake fake;

Fake scripted(std::vector<Step> steps) {
  Fake result;
  result.steps = std::move(steps);
  return result;
}

ssize_t next_step(size_t count) {
  fake.requested.push_back(count);
  Step step = fake.next < fake.steps.size() ? fake.steps[fake.next++] : Step{Kind::take, count};
  switch (step.kind) {
    case Kind::interrupt:
      errno = EINTR;
      return -1;
    case Kind::fail:
      errno = EIO;
      return -1;
    case Kind::zero:
      return 0;
    case Kind::take:
      break;
  }
  return static_cast<ssize_t>(std::min(step.limit, count));
}

ssize_t fake_read(int, void* buffer, size_t count) {
  ssize_t allowed = next_step(count);
  if (allowed <= 0) return allowed;
  size_t given = std::min(static_cast<size_t>(allowed), fake.input.size());
  fake.input.copy(static_cast<char*>(buffer), given);
  fake.input.erase(0, given);
  return static_cast<ssize_t>(given);
}

ssize_t fake_write(int, const void* buffer, size_t count) {
  ssize_t allowed = next_step(count);
  if (allowed > 0) fake.output.append(static_cast<const char*>(buffer), allowed);
  return allowed;
}

Step take(size_t limit) {
  return Step{Kind::take, limit};
}
const Step interrupted{Kind::interrupt};

TEST(ReadPath, RepeatsInterruptedReadsAndContinuesShortOnes) {
  fake = scripted({interrupted, take(1), interrupted, take(1), take(2), interrupted, take(100)});
  fake.input = frame("abcdef") + "after";
  PathBuffer buffer;
  ASSERT_TRUE(read_path_from(-1, fake_read, buffer));
  EXPECT_STREQ(buffer, "abcdef");
  EXPECT_EQ(fake.input, "after");
}

TEST(ReadPath, FailsOnReadError) {
  fake = scripted({take(2), Step{Kind::fail}});
  fake.input = frame("abc");
  PathBuffer buffer;
  EXPECT_FALSE(read_path_from(-1, fake_read, buffer));
}

TEST(Reply, SendsHeaderAndDataByTheirOwnWrites) {
  fake = scripted({});
  const unsigned char data[] = {'h', 'i'};
  ASSERT_TRUE(reply_to(-1, fake_write, kStatusSuccess, data, sizeof data));
  EXPECT_EQ(fake.output, std::string("\x00\x00\x02hi", 5));
  EXPECT_EQ(fake.requested, (std::vector<size_t>{3, 2}));
}

TEST(Reply, RepeatsInterruptedWritesAndContinuesShortOnes) {
  fake = scripted({interrupted, take(1), take(1), interrupted, take(1), take(3), interrupted});
  const unsigned char data[] = "0123456789";
  ASSERT_TRUE(reply_to(-1, fake_write, kStatusSuccess, data, 10));
  EXPECT_EQ(fake.output, std::string("\x00\x00\x0a", 3) + "0123456789");
}

struct FailedWrite {
  const char* name;
  std::vector<Step> steps;
  std::string written;
};

class ReplyFails : public testing::TestWithParam<FailedWrite> {};

TEST_P(ReplyFails, AndDoesNotStartAgain) {
  fake = scripted(GetParam().steps);
  const unsigned char data[] = "abcd";
  EXPECT_FALSE(reply_to(-1, fake_write, kStatusSuccess, data, 4));
  EXPECT_EQ(fake.output, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyFails,
    testing::Values(
        FailedWrite{"zeroInHeader", {take(1), Step{Kind::zero}}, std::string(1, '\0')},
        FailedWrite{"zeroInData",
                    {take(3), take(1), Step{Kind::zero}},
                    std::string("\x00\x00\x04"
                                "a",
                                4)},
        FailedWrite{"errorInHeader", {Step{Kind::fail}}, ""},
        FailedWrite{"errorInData", {take(3), Step{Kind::fail}}, std::string("\x00\x00\x04", 3)}),
    [](const testing::TestParamInfo<FailedWrite>& row) { return row.param.name; });

}  // namespace
}  // namespace nookview
