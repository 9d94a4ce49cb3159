#include "junk/junk_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "common/base/file_io.h"
#include "junk/junk_image.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/memory_user_defaults.h"

namespace brimvale::junk {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;
using std::chrono::minutes;

class JunkStoreTest : public ::testing::Test {
 protected:
  JunkStore makeStore() {
    return JunkStore(dir_.path(), JunkSettings(defaults_), [this] { return now_; });
  }
  ScrapContent text(std::string t) {
    ScrapContent c;
    c.plainText = std::move(t);
    return c;
  }
  ScrapContent image(int w, int h) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h * 4, 0x40);
    ScrapContent c;
    c.kind = JunkKind::kImage;
    c.imageBytes = *encodeRgbaPng(pixels.data(), w, h);
    return c;
  }
  std::vector<std::string> mediaNames() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_ / "junk-media", ec)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Writes `count` text scraps straight into the items file, a minute apart.
  void writeBoard(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      JunkItem item;
      item.id = "OLD-" + std::to_string(i);
      item.plainText = "old " + std::to_string(i);
      item.createdAt = now_ - hours(1) + minutes(i);
      item.expiresAt = item.createdAt + hours(24);
      text += encodeJunkItem(item) + "\n";
    }
    ASSERT_TRUE(writeFileAtomically(dir_ / "junk-items.ndjson", text));
  }

  brimvale::testing::TempFolder dir_{"junk-store"};
  platform::testing::MemoryDefaults defaults_;
  JunkTime now_ = *parseJunkDate("2026-12-07T12:00:00Z");
};

TEST_F(JunkStoreTest, DeletingAnImageBeforeItsThumbnailIsWrittenLeavesNoFile) {
  auto store = makeStore();
  // Large enough that scaling is still running when the deletions come.
  const ScrapContent big = image(1600, 1200);
  for (const bool clearAll : {false, true}) {
    SCOPED_TRACE(clearAll ? "clear all" : "delete");
    auto first = store.addContent(big);
    auto second = store.addContent(big);
    ASSERT_TRUE(first && second);
    if (clearAll) {
      ASSERT_TRUE(store.clearAll());
    } else {
      ASSERT_TRUE(store.remove(first->id));
      ASSERT_TRUE(store.remove(second->id));
    }
    store.waitForThumbnails();
    EXPECT_TRUE(mediaNames().empty());
  }
}

TEST_F(JunkStoreTest, SweepRemovesExpiredScrapsWithTheirMediaAndKeepsPinned) {
  auto store = makeStore();
  auto shortImage = *store.addContent(image(8, 8), JunkTTL::kM5);
  auto shortText = *store.addContent(text("short"), JunkTTL::kM15);
  auto pinnedShort = *store.addContent(text("pinned"), JunkTTL::kM5);
  ASSERT_TRUE(store.pin(pinnedShort.id));
  auto longImage = *store.addContent(image(8, 8), JunkTTL::kH1);
  now_ += minutes(15);  // shortText expires exactly now: gone too
  ASSERT_EQ(store.sweep(now_), 2u);
  std::vector<std::string> left;
  for (const auto& i : store.items()) left.push_back(i.id);
  EXPECT_EQ(left, (std::vector<std::string>{pinnedShort.id, longImage.id}));
  store.waitForThumbnails();
  EXPECT_EQ(mediaNames(), (std::vector<std::string>{*longImage.thumbFile, *longImage.mediaFile}));
  (void)shortImage;
  (void)shortText;

  // A stray media file (a crash between image and save) goes once it is old;
  // files the store did not name are never touched.
  const std::string kStray = "0A1B2C3D-0000-4000-8000-00000000000A.png";
  const std::string kFresh = "0A1B2C3D-0000-4000-8000-00000000000B-thumb.png";
  std::ofstream(dir_ / "junk-media" / "notes.png") << "x";
  fs::last_write_time(dir_ / "junk-media" / "notes.png",
                      fs::file_time_type::clock::now() - hours(2));
  std::ofstream(dir_ / "junk-media" / kStray) << "x";
  fs::last_write_time(dir_ / "junk-media" / kStray, fs::file_time_type::clock::now() - hours(2));
  std::ofstream(dir_ / "junk-media" / kFresh) << "x";
  ASSERT_TRUE(store.sweep(now_));
  EXPECT_FALSE(fs::exists(dir_ / "junk-media" / kStray));
  EXPECT_TRUE(fs::exists(dir_ / "junk-media" / kFresh));
  EXPECT_TRUE(fs::exists(dir_ / "junk-media" / "notes.png"));
}

TEST_F(JunkStoreTest, FullBoardDropsItsOldestScrapWithItsMedia) {
  struct Case {
    std::int64_t setting;
    int effective;
  };
  for (const Case c : {Case{10, 50}, Case{5000, 500}, Case{120, 120}}) {
    SCOPED_TRACE(c.setting);
    ASSERT_TRUE(defaults_.setInt("JunkMaxItems", c.setting));
    writeBoard(c.effective);
    auto store = makeStore();
    ASSERT_TRUE(store.load());
    ASSERT_TRUE(store.pin("OLD-0"));  // the oldest, but pinned: it stays
    auto picture = store.addContent(image(4, 4));
    ASSERT_TRUE(picture);
    now_ += minutes(1);
    ASSERT_TRUE(store.addContent(text("newest")));
    const auto items = store.items();
    ASSERT_EQ(items.size(), static_cast<std::size_t>(c.effective));
    EXPECT_TRUE(store.find("OLD-0"));
    EXPECT_FALSE(store.find("OLD-1"));
    EXPECT_FALSE(store.find("OLD-2"));
    EXPECT_TRUE(store.find(picture->id));
    ASSERT_TRUE(store.remove(picture->id));
    EXPECT_TRUE(mediaNames().empty());
  }
}

TEST_F(JunkStoreTest, CorruptLineLosesOnlyThatLine) {
  writeBoard(3);
  auto text = *readFile(dir_ / "junk-items.ndjson");
  const auto second = text.find('\n') + 1;
  text.insert(second, "{\"id\":\"BROKEN\",\"kind\":\n");
  text.insert(0, "\n");
  ASSERT_TRUE(writeFileAtomically(dir_ / "junk-items.ndjson", text));
  auto store = makeStore();
  ASSERT_TRUE(store.load());
  EXPECT_EQ(store.items().size(), 3u);
  ASSERT_TRUE(store.pin("OLD-1"));
  EXPECT_EQ(*readFile(dir_ / "junk-items.ndjson.unreadable"), "{\"id\":\"BROKEN\",\"kind\":\n");
  ASSERT_TRUE(store.unpin("OLD-1"));  // the line is aside once, not at every save
  EXPECT_EQ(*readFile(dir_ / "junk-items.ndjson.unreadable"), "{\"id\":\"BROKEN\",\"kind\":\n");
  auto reread = makeStore();
  ASSERT_TRUE(reread.load());
  EXPECT_EQ(reread.items(), store.items());
}

TEST_F(JunkStoreTest, TwoStoresOnOneBoardKeepEachOthersChanges) {
  auto app = makeStore();
  auto command = makeStore();
  ASSERT_TRUE(app.load());
  ASSERT_TRUE(command.load());
  auto first = app.addContent(text("from the app"));
  auto second = command.addContent(text("from the command"));
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(app.pin(second->id));
  auto fresh = makeStore();
  ASSERT_TRUE(fresh.load());
  ASSERT_EQ(fresh.items().size(), 2u);
  EXPECT_EQ(fresh.items()[0].id, second->id);
  EXPECT_TRUE(fresh.items()[0].pinned);
}

TEST_F(JunkStoreTest, LinkPlantedForTheMediaFolderLeadsNoDeletionElsewhere) {
  auto store = makeStore();
  auto picture = *store.addContent(image(4, 4));
  store.waitForThumbnails();
  const fs::path elsewhere = dir_.folder("elsewhere");
  fs::rename(dir_ / "junk-media", elsewhere / "media");
  fs::create_directory_symlink(elsewhere / "media", dir_ / "junk-media");
  ASSERT_TRUE(store.remove(picture.id));
  EXPECT_TRUE(fs::exists(elsewhere / "media" / *picture.mediaFile));
  EXPECT_FALSE(store.addScrap(image(4, 4))) << "no image is written through the link";
  EXPECT_TRUE(store.items().empty());

  // A link planted while a thumbnail is still being scaled: it is not written through it.
  fs::remove(dir_ / "junk-media");
  auto late = store.addContent(image(2000, 1500));
  ASSERT_TRUE(late);
  fs::rename(dir_ / "junk-media", elsewhere / "late");
  fs::create_directory_symlink(elsewhere / "late", dir_ / "junk-media");
  store.waitForThumbnails();
  EXPECT_TRUE(fs::exists(elsewhere / "late" / *late->mediaFile));
  EXPECT_FALSE(fs::exists(elsewhere / "late" / *late->thumbFile));
}

TEST_F(JunkStoreTest, ThumbnailIsReadOnlyFromTheStoresOwnFile) {
  auto store = makeStore();
  auto picture = *store.addContent(image(4, 4));
  auto words = *store.addContent(text("not a picture"));
  store.waitForThumbnails();
  const fs::path thumb = dir_ / "junk-media" / *picture.thumbFile;
  const auto written = *readFile(thumb);
  const fs::path elsewhere = dir_.folder("elsewhere") / "secret.png";
  std::ofstream(elsewhere) << "secret";
  struct Case {
    std::string name;
    std::function<void()> change;
    std::string id;
    std::optional<std::string> bytes;
  };
  const Case cases[] = {
      {"its thumbnail", {}, picture.id, written},
      {"a text scrap", {}, words.id, std::nullopt},
      {"an unknown id", {}, "../../secret", std::nullopt},
      {"a link planted in its place",
       [&] {
         fs::remove(thumb);
         fs::create_symlink(elsewhere, thumb);
       },
       picture.id, std::nullopt},
      {"a file too large for a thumbnail",
       [&] {
         fs::remove(thumb);
         std::ofstream(thumb) << std::string(kJunkMaxThumbBytes + 1, 'x');
       },
       picture.id, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.change) c.change();
    auto got = store.thumbnail(c.id);
    EXPECT_EQ(got ? std::optional<std::string>(*got) : std::nullopt, c.bytes);
  }
}

}  // namespace
}  // namespace brimvale::junk
