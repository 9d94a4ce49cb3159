#include "cloud/remote_metadata.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cloud/vault_crypto.h"
#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

const MachineFingerprint kHere{"machine:here|setup:1", true};

struct StateFolder {
  testing::TempFolder tmp{"bv-meta"};
  MetadataFiles files = MetadataFiles::inStateFolder(tmp / "state");
  std::time_t now = 1'700'000'000;

  RemoteMetadataStore store(std::optional<std::string> email = std::nullopt,
                            MachineFingerprint fp = kHere) {
    return RemoteMetadataStore(files, std::move(fp), std::move(email), [this] { return now; });
  }
  nlohmann::json envelope() const { return nlohmann::json::parse(*readFile(files.encrypted)); }
};

TEST(RemoteMetadata, RecordsRoundTripThroughTheEncryptedFile) {
  StateFolder s;
  RemoteMetadataRecord full{"work-s3",     "Work bucket", {"zone-region", "express"},
                            1'700'000'500, 1'600'000'000, "invoices"};
  RemoteMetadataRecord bare{"nas", "NAS", {}, std::nullopt, 1'650'000'000, std::nullopt};
  ASSERT_TRUE(s.store().save({full, bare}));
  auto loaded = s.store().load();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*loaded, (std::vector<RemoteMetadataRecord>{full, bare}));
  EXPECT_EQ(readFile(s.files.encrypted)->find("invoices"), std::string::npos);
}

TEST(RemoteMetadata, TheKeyFollowsTheEmailAddress) {
  struct Case {
    const char* name;
    std::optional<std::string> sealedWith;
    std::optional<std::string> readWith;
    const char* keySource;
    bool readable;
  } cases[] = {
      {"no address", std::nullopt, std::nullopt, "fingerprint-only", true},
      {"blank address is none", "  ", std::nullopt, "fingerprint-only", true},
      {"address trimmed and lower-cased", " Me@Example.COM\n", "me@example.com",
       "fingerprint+email", true},
      {"another address", "me@example.com", "you@example.com", "fingerprint+email", false},
      {"address removed", "me@example.com", std::nullopt, "fingerprint+email", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StateFolder s;
    ASSERT_TRUE(s.store(c.sealedWith).recordSaved("nas", "NAS", std::nullopt));
    EXPECT_EQ(s.envelope()["key_source"], c.keySource);
    auto loaded = s.store(c.readWith).load();
    EXPECT_EQ(loaded.has_value(), c.readable);
    if (!c.readable) {
      EXPECT_EQ(loaded.error().message(),
                "Decryption failed \u2014 most likely the email used to seal this file doesn't "
                "match the current one.");
    }
  }
}

TEST(RemoteMetadata, RecordSavedCreatesOnceAndReportsTheEarlierBucket) {
  StateFolder s;
  auto first = s.store().recordSaved("work-s3", "Work", "alpha");
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->created);
  s.now += 100;
  auto second = s.store().recordSaved("work-s3", "Work files", "beta");
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->created);
  EXPECT_EQ(second->previousBucket, "alpha");
  auto records = *s.store().load();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].displayName, "Work files");
  EXPECT_EQ(records[0].defaultBucket, "beta");
  EXPECT_EQ(records[0].createdAt, 1'700'000'000);
}

TEST(RemoteMetadata, ThePlainFileIsReadAndRemovedOnlyAfterAnEncryptedSave) {
  StateFolder s;
  nlohmann::json plain{
      {"version", 1},
      {"records",
       {{{"remoteName", "old"}, {"displayName", "Old"}, {"createdAt", "2024-01-01T00:00:00Z"}},
        {{"remoteName", "broken"}},  // no creation date: kept, not decoded
        {{"remoteName", "x"}, {"createdAt", "2024-02-01T00:00:00Z"}, {"future", true}}}}};
  fs::create_directories(s.files.plain.parent_path());
  ASSERT_TRUE(writeFileAtomically(s.files.plain, plain.dump()));

  auto loaded = s.store().load();
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->size(), 2u);
  EXPECT_EQ((*loaded)[1].displayName, "x");

  // Without the computer's identity nothing may be sealed: the plain file stays.
  auto refused = s.store(std::nullopt, MachineFingerprint{"machine:unknown-machine|setup:1", false})
                     .recordSaved("new", "New", std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "Couldn't read this machine's fingerprint \u2014 encryption requires it.");
  EXPECT_TRUE(fs::exists(s.files.plain));

  ASSERT_TRUE(s.store().recordSaved("new", "New", std::nullopt));
  EXPECT_FALSE(fs::exists(s.files.plain));
  EXPECT_EQ(s.store().load()->size(), 3u);
  EXPECT_NE(readFile(s.files.encrypted).value_or("").size(), 0u);
  auto sealed = s.envelope();
  EXPECT_TRUE(sealed.contains("iv") && sealed.contains("tag") && sealed.contains("ct"));
}

TEST(RemoteMetadata, UndecodableRecordsSurviveASave) {
  StateFolder s;
  fs::create_directories(s.files.plain.parent_path());
  ASSERT_TRUE(writeFileAtomically(
      s.files.plain, R"({"version":1,"records":[{"remoteName":"broken","createdAt":7}]})"));
  ASSERT_TRUE(s.store().recordSaved("new", "New", std::nullopt));
  // The raw entry is still in the sealed file: a later build may read it.
  auto opened = openEnvelope(metadataKey(kHere.text, std::nullopt), *readFile(s.files.encrypted));
  ASSERT_TRUE(opened);
  EXPECT_NE(opened->plaintext.find("broken"), std::string::npos);
  EXPECT_EQ(s.store().load()->size(), 1u);
}

// Forgetting a removed remote keeps every other record; a second time finds
// nothing; a file sealed under another address is refused and left as it was.
TEST(RemoteMetadata, ForgettingOneRemoteKeepsTheRest) {
  StateFolder s;
  ASSERT_TRUE(s.store().recordSaved("nas", "NAS", std::nullopt));
  ASSERT_TRUE(s.store().recordSaved("box", "Box", std::nullopt));
  EXPECT_EQ(s.store().forget("nas"), true);
  EXPECT_EQ(s.store().forget("nas"), false);
  auto left = s.store().load();
  ASSERT_TRUE(left);
  ASSERT_EQ(left->size(), 1u);
  EXPECT_EQ(left->at(0).remoteName, "box");

  const std::string before = *readFile(s.files.encrypted);
  EXPECT_FALSE(s.store("other@example.com").forget("box"));
  EXPECT_EQ(readFile(s.files.encrypted), before);
}

TEST(RemoteMetadata, AFileSealedUnderAnotherAddressIsKeptAsideNotOverwritten) {
  StateFolder s;
  ASSERT_TRUE(s.store("me@example.com").recordSaved("nas", "NAS", std::nullopt));
  std::string before = *readFile(s.files.encrypted);

  ASSERT_TRUE(s.store("new@example.com").recordSaved("box", "Box", std::nullopt));
  int asideCount = 0;
  for (const auto& entry : fs::directory_iterator(s.files.encrypted.parent_path())) {
    if (entry.path().filename().string().starts_with("remote-metadata.enc.unreadable-")) {
      ++asideCount;
      EXPECT_EQ(readFile(entry.path()), before);
    }
  }
  EXPECT_EQ(asideCount, 1);
  ASSERT_EQ(s.store("new@example.com").load()->size(), 1u);
}

}  // namespace
}  // namespace brimvale::cloud
