#include "platform/macos/mac_clipboard.h"

#include <gtest/gtest.h>

namespace brimvale::platform {
namespace {

TEST(MacClipboard, ReadsTheScriptsRecordedAnswers) {
  // Recorded after copying a password from a password manager.
  const auto state = parseMacPasteboardState(
      R"({"changeCount":4711,"types":["public.utf8-plain-text","NSStringPboardType",)"
      R"("org.nspasteboard.ConcealedType"]})");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->changeCount, 4711);
  EXPECT_EQ(state->types.back(), "org.nspasteboard.ConcealedType");

  struct Case {
    const char* output;
    bool parses;
  };
  for (const Case c :
       {Case{R"({"changeCount":0,"types":[]})", true}, Case{R"({"types":["public.png"]})", false},
        Case{"", false}, Case{"execution error: -1728", false}}) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parseMacPasteboardState(c.output).has_value(), c.parses);
  }

  EXPECT_EQ(parseMacPasteboardString(R"("line one\nline \"two\"")"), "line one\nline \"two\"");
  EXPECT_EQ(parseMacPasteboardString("null"), std::nullopt);
  EXPECT_EQ(parseMacPasteboardFiles(R"(["/Users/me/a b.pdf","/Users/me/é.txt"])"),
            (std::vector<std::string>{"/Users/me/a b.pdf", "/Users/me/é.txt"}));
  EXPECT_TRUE(parseMacPasteboardFiles("[]").empty());
  EXPECT_TRUE(parseMacPasteboardFiles("").empty());
}

}  // namespace
}  // namespace brimvale::platform
