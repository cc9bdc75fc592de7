// The judge is what turns a race into a number: these cases make sure that
// each kind of wrong reply is caught and that right ones are not.
#include "verdict.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "content.h"
#include "tree.h"

namespace stress {
namespace {

const Target& target(const Tree& tree, const std::string& request) {
  for (const Target& t : tree.targets()) {
    if (t.request == request) return t;
  }
  throw std::runtime_error("no target " + request);
}

TEST(Content, EveryKindIsRecognisedWhole) {
  for (Kind kind : {Kind::inside, Kind::visitor, Kind::outside, Kind::decoy, Kind::multilink}) {
    std::optional<Identity> identity = identify(make_content(kind, "a/b/f", 12, 5000));
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->kind, kind);
    EXPECT_EQ(identity->origin, "a/b/f");
    EXPECT_EQ(identity->generation, 12u);
  }
}

TEST(Content, TornCutAndForeignBytesAreNotRecognised) {
  std::string newer = make_content(Kind::inside, "w/f", 10, 8000);
  std::string older = make_content(Kind::inside, "w/f", 9, 8000);
  // First page of one generation, second page of the other.
  EXPECT_FALSE(identify(newer.substr(0, 4096) + older.substr(4096)));
  EXPECT_FALSE(identify(newer.substr(0, 7999)));
  EXPECT_FALSE(identify(newer + "x"));
  std::string flipped = newer;
  flipped[6000] ^= 1;
  EXPECT_FALSE(identify(flipped));
  EXPECT_FALSE(identify("no header line at all"));
}

TEST(Judge, RightAnswers) {
  Tree tree("/tmp");
  EXPECT_EQ(judge(target(tree, "x/f"), tree, 0, make_content(Kind::inside, "x/f", 0, 1500)),
            Verdict::served);
  // The visitor directory is exchanged into the root at x.
  EXPECT_EQ(judge(target(tree, "x/f"), tree, 0, make_content(Kind::visitor, "xo/f", 0, 1500)),
            Verdict::served);
  // Exchanged files swap contents.
  EXPECT_EQ(judge(target(tree, "p/sa"), tree, 0, make_content(Kind::inside, "p/sb", 0, 900)),
            Verdict::served);
  EXPECT_EQ(judge(target(tree, "big"), tree, 2, ""), Verdict::out_of_range);
  EXPECT_EQ(judge(target(tree, "l1/f"), tree, 1, ""), Verdict::refused);
  tree.next_generation("w/f");
  EXPECT_EQ(judge(target(tree, "w/f"), tree, 0, make_content(Kind::inside, "w/f", 1, 8000)),
            Verdict::served);
}

TEST(Judge, WrongAnswers) {
  Tree tree("/tmp");
  const Target& l1 = target(tree, "l1/f");
  EXPECT_EQ(judge(l1, tree, 0, make_content(Kind::outside, "m1/f", 0, 1000)),
            Verdict::escape_outside);
  EXPECT_EQ(judge(l1, tree, 0, make_content(Kind::decoy, "l1/f", 0, 600)), Verdict::escape_decoy);
  EXPECT_EQ(judge(target(tree, "h/f"), tree, 0, make_content(Kind::multilink, "h/f", 1, 3000)),
            Verdict::multilink);
  EXPECT_EQ(judge(l1, tree, 0, make_content(Kind::inside, "a/l2/f", 0, 2000)), Verdict::wrong_file);
  EXPECT_EQ(judge(target(tree, "w/f"), tree, 0, make_content(Kind::inside, "w/f", 1, 8000)),
            Verdict::future_generation);
  EXPECT_EQ(judge(l1, tree, 2, ""), Verdict::wrong_out_of_range);
  EXPECT_EQ(judge(l1, tree, 1, "data"), Verdict::malformed);
  EXPECT_EQ(judge(l1, tree, 3, ""), Verdict::malformed);
  EXPECT_EQ(judge(l1, tree, 0, ""), Verdict::malformed);
  std::string torn = make_content(Kind::inside, "l1/f", 0, 1000);
  torn[999] = '#';
  EXPECT_EQ(judge(l1, tree, 0, torn), Verdict::mixed);
}

}  // namespace
}  // namespace stress
