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
      {"Ab1!x2019yz", 2},            // 11 chars, four classes, a year: 1 + 2 - 1
      {"Ab1!xqwertyz", 3},           // 12 chars: 2 + 2 - keyboard walk
      {"correct horse battery", 4},  // 21 chars, lower + other: 3 + 1
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(passwordStrength(c.text), c.score);
  }
}

}  // namespace
}  // namespace brimvale::cloud
