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
      {"c:\\x", "c:\\\\x"},
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

TEST(JsonObjectWriter, KeepsInsertionOrderInBothStyles) {
  auto fill = [](JsonObjectWriter w) {
    w.string("b", "x\"").number("a", 40).boolean("t", true).null("n").raw("r", "1.5");
    return w.str();
  };
  EXPECT_EQ(fill(JsonObjectWriter(JsonObjectWriter::Style::kCompact)),
            R"({"b":"x\"","a":40,"t":true,"n":null,"r":1.5})");
  EXPECT_EQ(
      fill(JsonObjectWriter(JsonObjectWriter::Style::kPretty)),
      "{\n  \"b\": \"x\\\"\",\n  \"a\": 40,\n  \"t\": true,\n  \"n\": null,\n  \"r\": 1.5\n}\n");
}

TEST(IsJsonNumber, AcceptsOnlyJsonNumberSyntax) {
  for (const char* yes : {"0", "40", "-3", "2.5", "1e9", "-0.5E-2"}) {
    SCOPED_TRACE(yes);
    EXPECT_TRUE(isJsonNumber(yes));
  }
  for (const char* no : {"", "-", "01", "1.", ".5", "abc", "40GB", " 40", "1e", "0x10"}) {
    SCOPED_TRACE(no);
    EXPECT_FALSE(isJsonNumber(no));
  }
}

}  // namespace
}  // namespace brimvale
