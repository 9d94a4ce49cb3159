#include "platform/clipboard.h"

#include <gtest/gtest.h>

namespace brimvale::platform {
namespace {

TEST(Clipboard, PrivateOffersAreRecognisedByTheirMarkers) {
  struct Case {
    const char* name;
    std::vector<std::string> types;
    bool isPrivate;
  };
  const Case cases[] = {
      {"concealed", {"UTF8_STRING", "org.nspasteboard.ConcealedType"}, true},
      {"transient", {"org.nspasteboard.TransientType", "TARGETS"}, true},
      {"desktop hint", {"UTF8_STRING", "x-kde-passwordManagerHint"}, true},
      {"plain text", {"UTF8_STRING", "TARGETS"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isPrivateOffer(c.types), c.isPrivate);
  }
}

TEST(Clipboard, FileUrlsBecomeLocalPaths) {
  struct Case {
    const char* url;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"file:///tmp/a%20b/c.txt", "/tmp/a b/c.txt"},
      {"file:///tmp/%C3%A9t%C3%A9", "/tmp/\xC3\xA9t\xC3\xA9"},
      {"https://example.com/x", std::nullopt},
      {"file://otherhost/tmp/x", std::nullopt},
      {"file:///tmp/bad%2", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(filePathOfUrl(c.url), c.path);
  }
  // Paths that need escaping come back unchanged.
  for (const std::string path : {"/tmp/a b", "/tmp/100%/x#y?z", "/tmp/line\nbreak", "/t/é"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(filePathOfUrl(fileUrlOfPath(path)), path);
  }
}

TEST(Clipboard, UriListKeepsFilesAndSkipsCommentsAndOtherUrls) {
  EXPECT_EQ(filePathsOfUriList("# copied\r\nfile:///a\r\nhttps://x.org/\r\nfile:///b%20c\r\n"),
            (std::vector<std::string>{"/a", "/b c"}));
  EXPECT_TRUE(filePathsOfUriList("").empty());
}

TEST(Clipboard, HtmlIsReadAsUtf8WhateverItsEncoding) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string bytes;
    std::string html;
  };
  const Case cases[] = {
      {"utf-8", "<b>caf\xC3\xA9</b>\0"s, "<b>caf\xC3\xA9</b>"},
      {"utf-16le", "\xFF\xFE<\0b\0>\0\xE9\0"s, "<b>\xC3\xA9"},
      // U+1F600 as a surrogate pair, then U+20AC, then a NUL terminator.
      {"utf-16le beyond the basic plane", "\xFF\xFE\x3D\xD8\x00\xDE\xAC\x20\0\0"s,
       "\xF0\x9F\x98\x80\xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(htmlAsUtf8(c.bytes), c.html);
  }
}

}  // namespace
}  // namespace brimvale::platform
