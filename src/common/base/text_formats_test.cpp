#include "common/base/text_formats.h"

#include <gtest/gtest.h>

#include "common/base/process.h"

namespace brimvale {
namespace {

TEST(Tsv, SplitKeepsEmptyFieldsAndJoinNeutralisesSeparators) {
  EXPECT_EQ(splitTsv("a\t\tb"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(splitTsv(""), (std::vector<std::string>{""}));
  EXPECT_EQ(splitTsv("move\t/a b\t/c\t"), (std::vector<std::string>{"move", "/a b", "/c", ""}));
  EXPECT_EQ(joinTsv({"move", "/a\tb", "/c\nd", "12"}), "move\t/a b\t/c d\t12");
}

// A quoted word read back by a real shell gives the bytes it was made from.
TEST(ShellQuoted, ABashReadsEveryWordBackUnchanged) {
  const std::string cases[] = {"/plain/path-1.0", "precious\" \"x", "it's", "a b", "$HOME",
                               "`rm -rf ~`",      "new\nline",      "",     "*",   "caf\xc3\xa9"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c);
    const std::string script = "printf %s " + shellQuoted(c);
    ProcessResult r = runProcess({.path = "/bin/bash", .args = {"-c", script}});
    EXPECT_EQ(r.out, c);
  }
  EXPECT_EQ(shellQuoted("/Users/me/Old"), "/Users/me/Old");
  EXPECT_EQ(shellQuoted("it's"), "'it'\\''s'");
}

TEST(LineField, EveryByteComesBackAndOldRowsStayReadable) {
  for (const std::string text :
       {"plain", "tab\there", "line\nbreak\r", "back\\slash\\n", "", "\\"}) {
    SCOPED_TRACE(text);
    const std::string encoded = escapedLineField(text);
    EXPECT_EQ(encoded.find_first_of("\t\n\r"), std::string::npos);
    EXPECT_EQ(unescapedLineField(encoded), text);
  }
  EXPECT_EQ(unescapedLineField("C:\\x\\q"), "C:\\x\\q");  // unknown escapes stay
}

TEST(KeyValues, RoundTripsAndLastValueWins) {
  KeyValues kv = parseKeyValues("a=1\nno equals\nb=x=y\na=2\nempty=\n");
  ASSERT_EQ(kv.size(), 4u);
  EXPECT_EQ(findValue(kv, "a"), "2");
  EXPECT_EQ(findValue(kv, "b"), "x=y");
  EXPECT_EQ(findValue(kv, "empty"), "");
  EXPECT_EQ(findValue(kv, "missing"), std::nullopt);
  // A value holding a newline must not forge a second key.
  EXPECT_EQ(renderKeyValues({{"k", "v\nforged=1"}}), "k=v forged=1\n");
}

}  // namespace
}  // namespace brimvale
