#include "junk/junk_filter.h"

#include <gtest/gtest.h>

namespace brimvale::junk {
namespace {

TEST(JunkFilter, EachFilterKeepsItsKindOfScrap) {
  auto make = [](JunkKind kind, JunkSource source, std::string text, bool pinned = false) {
    JunkItem i;
    i.kind = kind;
    i.source = source;
    i.plainText = std::move(text);
    i.pinned = pinned;
    return i;
  };
  const JunkItem items[] = {
      make(JunkKind::kText, JunkSource::kClipboard, "hello"),
      make(JunkKind::kText, JunkSource::kClipboard, "https://example.com"),
      make(JunkKind::kText, JunkSource::kManual, "my note", true),
      make(JunkKind::kImage, JunkSource::kHotkey, ""),
      make(JunkKind::kFileRef, JunkSource::kClipboard, ""),
      make(JunkKind::kFileGroup, JunkSource::kClipboard, ""),
      make(JunkKind::kRichText, JunkSource::kClipboard, "https://example.com"),
  };
  // One letter per item above: which of them each filter keeps.
  const std::pair<JunkFilter, std::string_view> cases[] = {
      {JunkFilter::kAll, "1111111"},       {JunkFilter::kPinned, "0010000"},
      {JunkFilter::kClipboard, "1100111"}, {JunkFilter::kNotes, "0010000"},
      {JunkFilter::kMedia, "0001000"},     {JunkFilter::kFiles, "0000110"},
      {JunkFilter::kLinks, "0100000"},     {JunkFilter::kText, "1010000"},
      {JunkFilter::kRich, "0000001"},
  };
  for (auto [filter, expected] : cases) {
    SCOPED_TRACE(expected);
    std::string kept;
    for (const auto& item : items) kept += junkFilterKeeps(filter, item) ? '1' : '0';
    EXPECT_EQ(kept, expected);
  }
}

}  // namespace
}  // namespace brimvale::junk
