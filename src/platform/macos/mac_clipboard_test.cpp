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
       {Case{R"({"types":["public.png"]})", false}, Case{"execution error: -1728", false}}) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parseMacPasteboardState(c.output).has_value(), c.parses);
  }

  EXPECT_EQ(parseMacPasteboardString(R"("line one\nline \"two\"")"), "line one\nline \"two\"");
  EXPECT_EQ(parseMacPasteboardFiles(R"(["/Users/me/a b.pdf","/Users/me/é.txt"])"),
            (std::vector<std::string>{"/Users/me/a b.pdf", "/Users/me/é.txt"}));
}

TEST(MacClipboard, ReadsRichTextAnswers) {
  // Recorded after copying a bold word from a text editor.
  const auto state = parseMacPasteboardState(
      R"({"changeCount":812,"types":["com.apple.flat-rtfd","public.rtf","public.html",)"
      R"("public.utf8-plain-text"]})");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->types.front(), kMacRtfdType);
  EXPECT_EQ(state->types[2], kMacHtmlType);

  struct Case {
    const char* output;
    std::optional<std::string> base64;
  };
  const Case cases[] = {
      // The start of that copy's RTFD ("rtfd", then its entry count).
      {R"("cnRmZAAAAAADAAAAAgAAAAcAAABUWFQucnRm")", "cnRmZAAAAAADAAAAAgAAAAcAAABUWFQucnRm"},
      {R"("PGI+Ym9sZDwvYj4=")", "PGI+Ym9sZDwvYj4="},
      {"null", std::nullopt},
      {R"("not base64!")", std::nullopt},
      {R"("PGI+Ym9sZ===")", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parseMacPasteboardData(c.output), c.base64);
  }
}

}  // namespace
}  // namespace brimvale::platform
