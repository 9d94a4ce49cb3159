#include "junk/junk_filter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

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
    SCOPED_TRACE(junkFilterRaw(filter));
    std::string kept;
    for (const auto& item : items) kept += junkFilterKeeps(filter, item) ? '1' : '0';
    EXPECT_EQ(kept, expected);
  }
}

// Runs with the local zone set to `zone`, restoring it afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (old_)
      setenv("TZ", old_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(JunkFilter, DaysBeginAtLocalMidnight) {
  ZoneScope zone("America/New_York");
  // 10:00 local on 2026-03-09, the day after the spring clock change.
  const JunkTime now = *parseJunkDate("2026-03-09T10:00:00-04:00");
  struct Case {
    std::string_view created;
    std::string_view filter;  // the one date filter (besides any) that keeps it
  };
  const Case cases[] = {
      {"2026-03-09T00:00:00-04:00", "today"},
      {"2026-03-08T23:59:59-04:00", "yesterday"},
      {"2026-03-08T00:00:00-05:00", "yesterday"},  // the 23-hour day
      {"2026-03-07T23:59:59-05:00", "twoDays"},
      {"2026-03-07T00:00:00-05:00", "twoDays"},
      {"2026-03-06T12:00:00-05:00", "threeDays"},
      {"2026-03-06T00:00:00-05:00", "threeDays"},
      {"2026-03-05T23:59:59-05:00", "earlier"},
      {"2026-03-09T11:00:00-04:00", "today"},  // a clock set back: still today
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.created);
    JunkItem item;
    item.createdAt = *parseJunkDate(c.created);
    std::string kept;
    for (const auto& row : junkDateFilterNames()) {
      if (row.value == JunkDateFilter::kAny) {
        EXPECT_TRUE(junkDateFilterKeeps(row.value, item, now));
      } else if (junkDateFilterKeeps(row.value, item, now)) {
        kept += std::string(row.raw);
      }
    }
    EXPECT_EQ(kept, c.filter);
  }
}

}  // namespace
}  // namespace brimvale::junk
