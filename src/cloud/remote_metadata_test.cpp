#include "cloud/remote_metadata.h"

#include <gtest/gtest.h>

#include "cloud/pair_history.h"
#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

// The two sealed side files (remote details and recent pairs) share one envelope: one round trip
// and one refusal cover both.
namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

struct StateFolder {
  brimvale::testing::TempFolder tmp{"bv-meta"};
  MetadataFiles meta = MetadataFiles::inStateFolder(tmp / "state");
  PairHistoryFiles pairs = PairHistoryFiles::inStateFolder(tmp / "state");
  MachineFingerprint fingerprint = composeFingerprint("machine-one", 1'600'000'000);
  std::time_t now = 1'700'000'000;

  RemoteMetadataStore store(std::optional<std::string> email) {
    return RemoteMetadataStore(meta, fingerprint, std::move(email), [this] { return now; });
  }
  PairHistory history(std::optional<std::string> email) {
    return PairHistory(pairs, fingerprint, std::move(email), [this] { return now; });
  }
  int keptAside(const std::string& prefix, const std::string& bytes) const {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(tmp / "state"))
      if (entry.path().filename().string().starts_with(prefix) &&
          readFile(entry.path()).value_or("") == bytes)
        ++count;
    return count;
  }
};

TEST(SealedSideFiles, RoundTripUnreadableWithoutTheKey) {
  StateFolder s;
  RemoteMetadataRecord full{"work-s3",     "Work bucket", {"zone-region", "express"},
                            1'700'000'500, 1'600'000'000, "invoices"};
  ASSERT_TRUE(s.store("me@example.org").save({full}));
  ASSERT_TRUE(s.history("me@example.org")
                  .recordUse("/home/me/Secret Project", "cloud:Backup", PairKind::kCopy));

  EXPECT_EQ(readFile(s.meta.encrypted)->find("invoices"), std::string::npos);
  EXPECT_EQ(readFile(s.pairs.encrypted)->find("Secret Project"), std::string::npos);
  auto records = s.store(" ME@example.org\n").load();  // same address, typed differently
  ASSERT_TRUE(records);
  EXPECT_EQ(*records, std::vector<RemoteMetadataRecord>{full});
  auto pairs = s.history("me@example.org").load();
  ASSERT_TRUE(pairs);
  ASSERT_EQ(pairs->size(), 1u);
  EXPECT_EQ((*pairs)[0].leftPath, "/home/me/Secret Project");
}

// A file sealed under another address is refused, and the next save keeps it aside, not over it.
TEST(SealedSideFiles, AFileSealedUnderAnotherAddressIsKeptAsideNotOverwritten) {
  StateFolder s;
  ASSERT_TRUE(s.store("me@example.com").recordSaved("nas", "NAS", std::nullopt));
  ASSERT_TRUE(s.history("me@example.com").recordUse("/a", "/b", PairKind::kCopy));
  const std::string meta = *readFile(s.meta.encrypted);
  const std::string pairs = *readFile(s.pairs.encrypted);

  auto other = s.history("new@example.com");
  auto refused = other.load();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, MetadataErrc::kDecryptFailed);
  ASSERT_FALSE(s.store("new@example.com").load());

  ASSERT_TRUE(s.store("new@example.com").recordSaved("box", "Box", std::nullopt));
  ASSERT_TRUE(other.recordUse("/c", "/d", PairKind::kCopy));
  EXPECT_EQ(s.keptAside("remote-metadata.enc.unreadable-", meta), 1);
  EXPECT_EQ(s.keptAside("recent-pairs.enc.unreadable-", pairs), 1);
  EXPECT_EQ(s.store("new@example.com").load()->size(), 1u);
  EXPECT_EQ(other.load()->size(), 1u);
}

}  // namespace
}  // namespace brimvale::cloud
