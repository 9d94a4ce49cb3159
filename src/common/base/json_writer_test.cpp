#include "common/base/json_writer.h"

#include <gtest/gtest.h>

namespace brimvale {
namespace {

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a\"b", "a\\\"b"},
      {"tab\there", "tab\\there"},
      {"line\nbreak", "line\\nbreak"},
      {std::string("nul\0x", 5), "nul\\u0000x"},
      {"\x1f", "\\u001f"},
      {"Zoë", "Zoë"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(jsonEscape(c.in), c.out);
  }
}

TEST(IsJsonNumber, AcceptsOnlyJsonNumberSyntax) {
  for (const char* yes : {"0", "-3", "2.5", "-0.5E-2"}) {
    SCOPED_TRACE(yes);
    EXPECT_TRUE(isJsonNumber(yes));
  }
  for (const char* no : {"", "-", "01", "1.", "40GB", " 40", "1e", "0x10"}) {
    SCOPED_TRACE(no);
    EXPECT_FALSE(isJsonNumber(no));
  }
}

}  // namespace
}  // namespace brimvale
