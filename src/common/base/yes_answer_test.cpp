#include "common/base/yes_answer.h"

#include <gtest/gtest.h>

#include <sstream>

namespace brimvale {
namespace {

TEST(YesAnswer, OnlyYOrYesAgree) {
  const struct {
    const char* typed;
    bool yes;
  } cases[] = {
      {"y\n", true},           {"Y\n", true},   {"yes\n", true}, {" YES \n", true},
      {"yes", true},           {"\n", false},   {"n\n", false},  {"", false},
      {"yes please\n", false}, {"ye\n", false}, {"no\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    std::istringstream in(c.typed);
    EXPECT_EQ(readsYes(in), c.yes);
  }
}

}  // namespace
}  // namespace brimvale
