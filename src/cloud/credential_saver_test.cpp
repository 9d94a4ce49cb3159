#include "cloud/credential_saver.h"

#include <gtest/gtest.h>

#include "cloud/account_forms.h"
#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

// Records what would be written to rclone's settings and can refuse a call.
class RecordingRcloneConfig final : public RcloneConfigCommands {
 public:
  std::vector<std::string> calls;  // "create name type k=v ..." / "update name k=v"
  std::map<std::string, std::map<std::string, std::string>> remotes;
  std::optional<std::string> failCreate;

  Result<void> createRemote(const std::string& name, const std::string& type,
                            const std::vector<RemoteKey>& keys) override {
    std::string call = "create " + name + " " + type;
    for (const auto& k : keys) call += " " + k.key + "=" + k.value;
    calls.push_back(call);
    if (failCreate)
      return fail(Errc::kToolFailed, "rclone config create failed.\n\n" + *failCreate);
    for (const auto& k : keys) remotes[name][k.key] = k.secret ? "obscured" : k.value;
    return {};
  }
  Result<void> updateKey(const std::string& name, const RemoteKey& key) override {
    calls.push_back("update " + name + " " + key.key + "=" + key.value);
    remotes[name][key.key] = key.secret ? "obscured" : key.value;
    return {};
  }
  Result<std::map<std::string, std::map<std::string, std::string>>> dump() override {
    return remotes;
  }
  Result<std::string> reveal(const std::string&) override { return fail(Errc::kUnavailable); }
};

struct Saving {
  brimvale::testing::TempFolder home{"bv-saver"};
  VaultLocation location{home / "secrets/vault.enc", home / "secrets"};
  std::unique_ptr<PepperStore> pepper = makeFilePepperStore(location.secretsDir);
  SecretVault vault{location, *pepper, "machine:here|setup:1", [] { return 1'700'000'000; }};
  RemoteMetadataStore details{MetadataFiles::inStateFolder(home / "state"),
                              MachineFingerprint{"machine:here|setup:1", true}, std::nullopt,
                              [] { return 1'700'000'000; }};
  RecordingRcloneConfig rclone;
  std::vector<BucketChange> posted;
  CredentialSaver saver{vault, rclone, details,
                        [this](const BucketChange& c) { posted.push_back(c); }};
};

AccountSave s3Account(std::string bucket, std::string secret = "Vx9!wq-Lm3#pZr8tY") {
  S3Form form = newS3Form(0);
  form.accessKeyId = "AKIA1";
  form.secretAccessKey = std::move(secret);
  form.secretLoaded = form.secretAccessKey.empty();
  form.bucket = bucket;
  return AccountSave{SaveMode::kCreate,   "work", "s3", "Work", s3Keys(form),
                     s3VaultFields(form), bucket};
}

TEST(CredentialSaver, EachFailureStopsTheLaterStepsAndSaysWhatWasKept) {
  struct Case {
    const char* name;
    std::function<void(Saving&)> arrange;
    SaveStep step;
    const char* opening;
    std::size_t rcloneCalls;
  } cases[] = {
      {"vault unreadable",
       [](Saving& s) {
         ASSERT_TRUE(s.vault.set("other", "password", "x"));
         fs::remove(s.location.secretsDir / ".pepper");
       },
       SaveStep::kVault,
       "Couldn't write to the credential vault: Couldn't decrypt the credential vault.", 0},
      {"create refused", [](Saving& s) { s.rclone.failCreate = "bad provider"; },
       SaveStep::kRcloneConfig, "rclone config create failed.\n\nbad provider", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Saving s;
    c.arrange(s);
    auto saved = s.saver.save(s3Account("photos"));
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().step, c.step);
    EXPECT_TRUE(saved.error().message.starts_with(c.opening)) << saved.error().message;
    EXPECT_EQ(s.rclone.calls.size(), c.rcloneCalls);
    EXPECT_TRUE(s.details.load()->empty());
  }
}

}  // namespace
}  // namespace brimvale::cloud
