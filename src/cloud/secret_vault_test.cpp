#include "cloud/secret_vault.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

// A vault in a temporary home with its own pepper file and a fixed clock.
struct VaultHome {
  brimvale::testing::TempFolder home{"bv-vault"};
  VaultLocation location{home / ".brimvale/secrets/vault.enc", home / ".brimvale/secrets"};
  std::unique_ptr<PepperStore> pepper = makeFilePepperStore(location.secretsDir);

  SecretVault vault(std::string fingerprint = "machine:one|setup:1",
                    FileOperations& ops = FileOperations::real()) {
    return SecretVault(
        location, *pepper, std::move(fingerprint), [] { return 1'700'000'000; }, ops);
  }
  std::string fileBytes() const { return readFile(location.vaultFile).value_or("<none>"); }
};

TEST(SecretVault, KeepsValuesAcrossInstancesInAPrivateEnvelope) {
  VaultHome h;
  EXPECT_EQ(h.vault().load(), SecretMap{});
  ASSERT_TRUE(h.vault().set("work-s3", "secret_access_key", "s3cr3t"));
  ASSERT_TRUE(h.vault().set("work-s3", "session_token", "t0k"));  // beside, not instead
  ASSERT_TRUE(h.vault().setAll({{"box", {{"username", "me"}, {"password", "pw"}}}}));

  SecretMap expected{{"work-s3", {{"secret_access_key", "s3cr3t"}, {"session_token", "t0k"}}},
                     {"box", {{"username", "me"}, {"password", "pw"}}}};
  EXPECT_EQ(h.vault().load(), expected);

  auto envelope = nlohmann::json::parse(h.fileBytes());
  EXPECT_EQ(envelope["v"], 1);
  EXPECT_EQ(envelope["saved_at"], "2023-11-14T22:13:20Z");
  EXPECT_EQ(h.fileBytes().find("s3cr3t"), std::string::npos);
  EXPECT_EQ(modeOf(h.location.vaultFile), 0600);
  EXPECT_EQ(modeOf(h.location.secretsDir), 0700);
  EXPECT_EQ(modeOf(h.location.secretsDir / ".pepper"), 0600);
  EXPECT_EQ(fs::file_size(h.location.secretsDir / ".pepper"), kPepperBytes);
  EXPECT_FALSE(fs::exists(h.home / ".brimvale/secrets/vault.enc.tmp"));
}

// Given a vault that cannot be read, then every change is refused and the
// file (and a lost pepper) stays as it was.
TEST(SecretVault, AnUnreadableVaultIsNeverOverwritten) {
  struct Case {
    const char* name;
    std::function<void(VaultHome&)> damage;
    std::string fingerprint;
    std::string text;
  } cases[] = {
      {"copied from another computer", [](VaultHome&) {}, "machine:two|setup:9",
       "Couldn't decrypt the credential vault. This usually means the vault was created on a "
       "different computer, or the key material was reset. Run `brimvale remotes vault-reset` to "
       "start over (you'll need to re-enter every stored credential)."},
      {"pepper lost", [](VaultHome& h) { fs::remove(h.location.secretsDir / ".pepper"); },
       "machine:one|setup:1", "Couldn't decrypt the credential vault."},
      {"pepper replaced",
       [](VaultHome& h) {
         ASSERT_TRUE(writeFileAtomically(h.location.secretsDir / ".pepper",
                                         std::string(kPepperBytes, 'z')));
       },
       "machine:one|setup:1", "Couldn't decrypt the credential vault."},
      {"newer format",
       [](VaultHome& h) {
         auto j = nlohmann::json::parse(h.fileBytes());
         j["v"] = 2;
         ASSERT_TRUE(writeFileAtomically(h.location.vaultFile, j.dump()));
       },
       "machine:one|setup:1", "Credential vault format v2 isn't supported by this build."},
      {"not json",
       [](VaultHome& h) { ASSERT_TRUE(writeFileAtomically(h.location.vaultFile, "{\"v\":")); },
       "machine:one|setup:1", "Credential vault is corrupted: Envelope didn't parse as JSON."},
      {"bad base64",
       [](VaultHome& h) {
         auto j = nlohmann::json::parse(h.fileBytes());
         j["ct"] = "not*base64";
         ASSERT_TRUE(writeFileAtomically(h.location.vaultFile, j.dump()));
       },
       "machine:one|setup:1", "Credential vault is corrupted: Envelope contains malformed base64."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VaultHome h;
    ASSERT_TRUE(h.vault().set("nas", "password", "keep me"));
    c.damage(h);
    std::string before = h.fileBytes();
    const bool hadPepper = fs::exists(h.location.secretsDir / ".pepper");

    auto vault = h.vault(c.fingerprint);
    auto loaded = vault.load();
    ASSERT_FALSE(loaded);
    EXPECT_TRUE(loaded.error().message().starts_with(c.text)) << loaded.error().message();
    auto refused = vault.set("nas", "password", "new");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, loaded.error().code);
    EXPECT_FALSE(vault.forget("nas")) << "removing a remote must not rewrite it either";
    EXPECT_EQ(h.fileBytes(), before);
    EXPECT_FALSE(fs::exists(h.location.vaultFile.string() + ".tmp"));
    EXPECT_EQ(fs::exists(h.location.secretsDir / ".pepper"), hadPepper)
        << "a lost pepper is not replaced while the vault exists";
  }
}

// Given two remotes' secrets, then forgetting one twice deletes only its
// values, once; a vault that was never written stays unwritten.
TEST(SecretVault, ForgettingARemoteKeepsTheOthers) {
  VaultHome h;
  EXPECT_EQ(h.vault().forget("nas"), false);
  EXPECT_FALSE(fs::exists(h.location.vaultFile));
  ASSERT_TRUE(h.vault().setAll({{"nas", {{"password", "a"}}}, {"nas2", {{"password", "b"}}}}));
  EXPECT_EQ(h.vault().forget("nas"), true);
  EXPECT_EQ(h.vault().forget("nas"), false);
  EXPECT_EQ(h.vault().load(), (SecretMap{{"nas2", {{"password", "b"}}}}));
}

TEST(SecretVault, AFailedReplaceKeepsTheOldVault) {
  VaultHome h;
  ASSERT_TRUE(h.vault().set("nas", "password", "old"));
  brimvale::testing::FailingFileOperations ops;
  ops.failFirst(brimvale::testing::FileOp::kRename, "vault.enc.tmp", ENOSPC);

  auto failed = h.vault("machine:one|setup:1", ops).set("nas", "password", "new");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(),
            "Couldn't encrypt the credential vault. Check that the secrets directory is "
            "writable.");
  EXPECT_EQ(h.vault().load()->at("nas").at("password"), "old");
  EXPECT_FALSE(fs::exists(h.location.vaultFile.string() + ".tmp"));
}

TEST(SecretVault, ResetKeepsTheOldFileAsideAndAllowsAFreshVault) {
  VaultHome h;
  ASSERT_TRUE(h.vault().set("nas", "password", "old"));
  std::string before = h.fileBytes();
  auto moved = h.vault("machine:two|setup:9");
  ASSERT_FALSE(moved.set("nas", "password", "new"));

  auto aside = moved.vaultReset();
  ASSERT_TRUE(aside && *aside);
  EXPECT_EQ(aside->value().filename().string().rfind("vault.enc.unreadable-", 0), 0u);
  EXPECT_EQ(readFile(**aside), before);
  ASSERT_TRUE(moved.set("nas", "password", "new"));
  EXPECT_EQ(moved.load()->at("nas").at("password"), "new");
  auto again = moved.vaultReset();  // same second: a second name, the first copy untouched
  ASSERT_TRUE(again && *again);
  EXPECT_NE(**again, **aside);
  EXPECT_EQ(readFile(**aside), before);
  VaultHome empty;
  auto nothing = empty.vault().vaultReset();
  ASSERT_TRUE(nothing);
  EXPECT_EQ(*nothing, std::nullopt);
}

}  // namespace
}  // namespace brimvale::cloud
