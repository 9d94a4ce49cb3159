#include "junk/junk_item.h"

#include <gtest/gtest.h>

namespace brimvale::junk {
namespace {

using std::chrono::hours;
using std::chrono::minutes;

JunkTime at(std::string_view iso) { return *parseJunkDate(iso); }

TEST(JunkItem, DatesReadInEveryFormOlderRecordsUse) {
  struct Case {
    std::string_view text;
    std::optional<std::string_view> canonical;
  };
  const Case cases[] = {
      {"2026-12-07T20:45:31.250Z", "2026-12-07T20:45:31.250Z"},
      {"2026-12-07T20:45:31Z", "2026-12-07T20:45:31.000Z"},
      {"2026-12-07T21:45:31+01:00", "2026-12-07T20:45:31.000Z"},
      {"2026-12-07T20:45:31.5Z", "2026-12-07T20:45:31.500Z"},
      {"2026-12-07 20:45:31Z", std::nullopt},
      {"2026-13-07T20:45:31Z", std::nullopt},
      {"2026-12-07T20:45:31", std::nullopt},
      {"2026-12-07T20:45:31.Z", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = parseJunkDate(c.text);
    ASSERT_EQ(parsed.has_value(), c.canonical.has_value());
    if (parsed) {
      EXPECT_EQ(junkDateText(*parsed), *c.canonical);
    }
  }
}

TEST(JunkItem, OlderRecordsReadWithTheirDefaults) {
  const JunkTime now = at("2026-12-07T12:00:00Z");
  struct Case {
    const char* name;
    std::string line;
    bool pinned;
    double ttl;
    std::string_view expires;
  };
  const std::string head =
      R"({"id":"A","kind":"text","source":"clipboard","createdAt":"2026-12-07T11:00:00Z")";
  const Case cases[] = {
      {"no ttlSeconds gets one day", head + "}", false, 86400, "2026-12-08T11:00:00.000Z"},
      {"expiresAt from ttlSeconds", head + R"(,"ttlSeconds":300})", false, 300,
       "2026-12-07T11:05:00.000Z"},
      {"pinnedUntil ahead pins and moves expiresAt",
       head +
           R"(,"ttlSeconds":4200,"expiresAt":"2026-12-07T12:10:00Z","pinnedUntil":"2026-12-07T13:00:00Z"})",
       true, 4200, "2026-12-07T13:00:00.000Z"},
      {"pinnedUntil passed leaves it unpinned",
       head + R"(,"expiresAt":"2026-12-07T12:10:00Z","pinnedUntil":"2026-12-07T11:30:00Z"})", false,
       86400, "2026-12-07T12:10:00.000Z"},
      {"pinned present wins over pinnedUntil",
       head +
           R"(,"pinned":false,"expiresAt":"2026-12-07T12:10:00Z","pinnedUntil":"2026-12-07T13:00:00Z"})",
       false, 86400, "2026-12-07T12:10:00.000Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto item = decodeJunkItem(c.line, now);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->pinned, c.pinned);
    EXPECT_EQ(item->ttlSeconds, c.ttl);
    EXPECT_EQ(junkDateText(item->expiresAt), c.expires);
  }
}

TEST(JunkItem, RecordsMissingWhatIdentifiesThemAreRefused) {
  const JunkTime now = at("2026-12-07T12:00:00Z");
  for (std::string_view line : {
           R"({"kind":"text","source":"manual","createdAt":"2026-12-07T11:00:00Z"})",
           R"({"id":"A","kind":"video","source":"manual","createdAt":"2026-12-07T11:00:00Z"})",
           R"({"id":"A","kind":"text","source":"manual","createdAt":"yesterday"})",
           R"({"id":"A","kind":"text",)",
       }) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(decodeJunkItem(line, now));
  }
}

TEST(JunkItem, EncodedRecordReadsBackTheSameAndMediaNamesStayInside) {
  JunkItem item;
  item.id = newUuid();
  item.kind = JunkKind::kFileGroup;
  item.source = JunkSource::kHotkey;
  item.createdAt = at("2026-12-07T11:00:00.125Z");
  item.ttlSeconds = 900;
  item.expiresAt = item.createdAt + minutes(15);
  item.pinned = true;
  item.plainText = "line one\n\"quoted\"";
  item.files = std::vector<JunkFile>{{"/tmp/a b.txt", "a b.txt"}, {"/tmp/é.png", "é.png"}};
  EXPECT_EQ(decodeJunkItem(encodeJunkItem(item), item.createdAt), item);

  item.mediaFile = "../../../etc/passwd";
  item.thumbFile = "ok-thumb.png";
  auto read = decodeJunkItem(encodeJunkItem(item), item.createdAt);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->mediaFile, std::nullopt);
  EXPECT_EQ(read->thumbFile, "ok-thumb.png");
}

TEST(JunkItem, BoardOrderPutsPinnedFirstThenNewestFirst) {
  const JunkTime base = at("2026-12-07T00:00:00Z");
  auto make = [&](std::string id, int hoursAfter, bool pinned) {
    JunkItem i;
    i.id = std::move(id);
    i.createdAt = base + hours(hoursAfter);
    i.pinned = pinned;
    return i;
  };
  std::vector<JunkItem> items{make("new", 10, false), make("oldPin", 1, true),
                              make("old", 2, false), make("newPin", 3, true),
                              make("mid", 5, false)};
  sortJunkBoard(items);
  std::string order;
  for (const auto& i : items) order += i.id + " ";
  EXPECT_EQ(order, "newPin oldPin new mid old ");
}

}  // namespace
}  // namespace brimvale::junk
