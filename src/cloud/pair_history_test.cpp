#include "cloud/pair_history.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

PairRecord pair(std::string left, std::time_t at, bool pinned = false,
                PairKind kind = PairKind::kCopy) {
  return {.leftPath = std::move(left),
          .rightPath = "/r",
          .lastUsedAt = at,
          .isPinned = pinned,
          .kind = kind};
}

TEST(PairMerging, RepeatedPairsMoveUpInsteadOfRepeating) {
  struct Case {
    const char* name;
    std::string left;
    PairKind kind;
    std::vector<std::string> order;  // leftPath, first to last
    std::size_t size;
  };
  const std::vector<PairRecord> start{pair("/pinned", 10, true), pair("/a", 30), pair("/b", 20)};
  const Case cases[] = {
      {"same pair again", "/b", PairKind::kCopy, {"/pinned", "/b", "/a"}, 3},
      {"same paths, other kind", "/b", PairKind::kSync, {"/pinned", "/b", "/a", "/b"}, 4},
      {"pinned pair used again stays pinned",
       "/pinned",
       PairKind::kCopy,
       {"/pinned", "/a", "/b"},
       3},
      {"new pair", "/c", PairKind::kCopy, {"/pinned", "/c", "/a", "/b"}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = withPairUsed(start, c.left, "/r", c.kind, 100);
    std::vector<std::string> order;
    for (const auto& r : result) order.push_back(r.leftPath);
    EXPECT_EQ(order, c.order);
    EXPECT_EQ(result.size(), c.size);
    EXPECT_TRUE(result[0].isPinned);
  }
}

TEST(PairMerging, TheCapDropsTheOldestUnpinnedNeverAPinnedPair) {
  std::vector<PairRecord> pairs;
  for (int i = 0; i < 3; ++i) pairs.push_back(pair("/old-pinned-" + std::to_string(i), i, true));
  for (std::size_t i = 0; i < kMaxRecentPairs; ++i)
    pairs.push_back(pair("/p" + std::to_string(i), 1000 + static_cast<std::time_t>(i)));
  auto result = withPairUsed(pairs, "/newest", "/r", PairKind::kCopy, 5000);
  EXPECT_EQ(result.size(), kMaxRecentPairs + 3);
  EXPECT_EQ(std::count_if(result.begin(), result.end(), [](auto& r) { return r.isPinned; }), 3);
  EXPECT_EQ(result[3].leftPath, "/newest");
  EXPECT_EQ(result.back().leftPath, "/p1") << "the oldest unpinned, /p0, is the one dropped";
}

struct PairFiles {
  testing::TempFolder temp{"bv-pairs"};
  PairHistoryFiles files = PairHistoryFiles::inStateFolder(temp / "state");
  MachineFingerprint fingerprint = composeFingerprint("machine-one", 1'600'000'000);
  std::time_t now = 1'780'000'000;
  PairHistory history(std::optional<std::string> email = "me@example.org") {
    return PairHistory(files, fingerprint, std::move(email), [this] { return now; });
  }
};

TEST(PairHistoryFile, StoredSealedAndReadBack) {
  PairFiles f;
  auto history = f.history();
  ASSERT_TRUE(history.recordUse("/home/me/Secret Project", "cloud:Backup", PairKind::kCopy));
  f.now += 60;
  ASSERT_TRUE(history.recordUse("/home/me/Other", "cloud:Other", PairKind::kSync));
  ASSERT_TRUE(history.setPinned("/home/me/Secret Project", "cloud:Backup", PairKind::kCopy, true));

  EXPECT_EQ(readFile(f.files.encrypted).value_or("").find("Secret Project"), std::string::npos);
  auto loaded = f.history(" ME@example.org ").load();  // same address, typed differently
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->size(), 2u);
  EXPECT_EQ((*loaded)[0], (PairRecord{"/home/me/Secret Project", "cloud:Backup", 1'780'000'000,
                                      true, PairKind::kCopy}));
  EXPECT_EQ((*loaded)[1].kind, PairKind::kSync);
}

TEST(PairHistoryFile, AnOlderPlainFileIsReadThenReplaced) {
  PairFiles f;
  f.temp.file("state/recent-pairs.json",
              R"([{"leftPath":"/a","rightPath":"/b","lastUsedAt":"2026-01-02T03:04:05Z",)"
              R"("isPinned":true,"kind":"relocate"},{"leftPath":"/broken"}])");
  auto history = f.history();
  auto loaded = history.load();
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->size(), 1u);
  EXPECT_EQ((*loaded)[0].kind, PairKind::kRelocate);

  ASSERT_TRUE(history.recordUse("/c", "/d", PairKind::kMove));
  EXPECT_FALSE(fs::exists(f.files.plain));
  auto after = history.load();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->size(), 2u);
}

TEST(PairHistoryFile, AFileSealedForAnotherAddressIsKeptAside) {
  PairFiles f;
  ASSERT_TRUE(f.history("first@example.org").recordUse("/a", "/b", PairKind::kCopy));
  const std::string sealed = *readFile(f.files.encrypted);

  auto other = f.history("second@example.org");
  auto loaded = other.load();
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().code, MetadataErrc::kDecryptFailed);

  ASSERT_TRUE(other.recordUse("/c", "/d", PairKind::kCopy));
  int keptWithOldBytes = 0;
  for (const auto& entry : fs::directory_iterator(f.temp / "state")) {
    if (entry.path().filename().string().starts_with("recent-pairs.enc.unreadable-") &&
        readFile(entry.path()).value_or("") == sealed)
      ++keptWithOldBytes;
  }
  EXPECT_EQ(keptWithOldBytes, 1);
  EXPECT_EQ(other.load()->size(), 1u);
}

}  // namespace
}  // namespace brimvale::cloud
