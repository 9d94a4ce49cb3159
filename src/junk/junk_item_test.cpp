#include "junk/junk_item.h"

#include <gtest/gtest.h>

namespace brimvale::junk {
namespace {

using std::chrono::hours;
using std::chrono::minutes;

JunkTime at(std::string_view iso) { return *parseJunkDate(iso); }

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

}  // namespace
}  // namespace brimvale::junk
