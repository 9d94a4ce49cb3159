// Shared by the care tests: checks a text-producing function against a table
// of inputs and the exact texts they must give.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace brimvale::care::testing {

template <class Input, class Fn>
void expectTexts(const std::vector<std::pair<Input, std::string>>& cases, Fn textOf) {
  for (const auto& [input, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(textOf(input), text);
  }
}

}  // namespace brimvale::care::testing
