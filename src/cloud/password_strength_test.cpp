#include "cloud/password_strength.h"

#include <gtest/gtest.h>

namespace brimvale::cloud {
namespace {

TEST(PasswordStrength, Scores) {
  struct Case {
    const char* text;
    int score;
  } cases[] = {
      {"", 0},
      {"password", 0},  // the best-known password, in any case
      {"PassWord", 0},
      {"Ab1!", 2},                   // short but varied: 0 + 2
      {"abcdefgh", 1},               // 1 + 0.5
      {"Ab1!x2019yz", 2},            // 11 chars, four classes, a year: 1 + 2 - 1
      {"Ab!aaa2019z", 1},            // the same with three equal characters in a row
      {"Ab1!xqwertyz", 3},           // 12 chars: 2 + 2 - keyboard walk
      {"correct horse battery", 4},  // 21 chars, lower + other: 3 + 1
      {"Tr0ub4dor&3-long-ones", 4},  // 3 + 2, clamped
      {"aaaaaaaaaaaaaaaa", 2},       // 3 + 0.5 - 1
      {"1919191919191919", 2},       // 3 + 0.5 - year
      {"Zxcv1234Asdf2020!!", 3},     // 3 + 2 - walk - year: three walks take one
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(passwordStrength(c.text), c.score);
  }
}

TEST(PasswordStrength, AdviceFollowsTheScore) {
  EXPECT_EQ(strengthLabel(passwordStrength("Ab1!x2019yz")), "Fair");
  EXPECT_EQ(strengthAdvice(1), "Won't be accepted \u2014 add length and mix character types.");
  EXPECT_EQ(strengthAdvice(4), std::nullopt);
}

}  // namespace
}  // namespace brimvale::cloud
