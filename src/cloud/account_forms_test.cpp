#include "cloud/account_forms.h"

#include <gtest/gtest.h>

namespace brimvale::cloud {
namespace {

std::vector<std::string> names(const std::vector<RemoteKey>& keys) {
  std::vector<std::string> out;
  for (const auto& k : keys) out.push_back(k.key + (k.secret ? "*" : "") + "=" + k.value);
  return out;
}

constexpr std::size_t kAws = 0, kR2 = 1, kB2 = 2, kMinio = 5, kOther = 6;

S3Form filled(std::size_t preset) {
  S3Form form = newS3Form(preset);
  form.accessKeyId = "AKIA1";
  form.secretAccessKey = "Vx9!wq-Lm3#pZr8tY";
  form.bucket = "photos";
  if (kS3Providers[preset].endpointRequired) form.endpoint = "https://s3.example.net";
  return form;
}

TEST(S3Form, RegionAndBucketChecks) {
  struct Case {
    const char* region;
    const char* bucket;
    std::optional<std::string> refusal;
  } cases[] = {
      {"use1-az4", "photos",
       "\"use1-az4\" is an Availability Zone ID, not a region. The parent region for that AZ is "
       "us-east-1."},
      {"apne1-az1", "photos",
       "\"apne1-az1\" is an Availability Zone ID, not a region. Find the parent region for this "
       "AZ in AWS docs."},
      {"eus2-az3b", "photos",
       "\"eus2-az3b\" is an Availability Zone ID, not a region. The parent region for that AZ is "
       "eu-south-2."},
      {"us-east-1", "photos", std::nullopt},
      {"us-east-1", "logs--usw2-az1--x-s3",
       "\"logs--usw2-az1--x-s3\" is an S3 Express One Zone bucket. rclone v1.69 can't upload to "
       "Express. Use classic S3 instead."},
      {"us-east-1", "logs--usw2-az1--x-s3-backup", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.bucket);
    S3Form form = filled(kAws);
    form.region = c.region;
    form.bucket = c.bucket;
    EXPECT_EQ(s3Refusal(form), c.refusal);
  }
}

TEST(S3Form, SecretsAreScoredOnlyWhenNewlyTyped) {
  S3Form form = filled(kAws);
  form.secretAccessKey = "abc";
  EXPECT_EQ(s3Refusal(form),
            "Secret access key: Won't be accepted \u2014 too short or too common.");
  form.secretLoaded = true;  // the value rclone already holds, shown as loaded
  EXPECT_EQ(s3Refusal(form), std::nullopt);
  form.bucket = " ";
  EXPECT_TRUE(s3Refusal(form));
}

TEST(S3Form, KeysPerPreset) {
  struct Case {
    const char* name;
    S3Form form;
    std::vector<std::string> keys;
  } cases[] = {
      {"AWS",
       filled(kAws),
       {"provider=AWS", "access_key_id=AKIA1", "secret_access_key*=Vx9!wq-Lm3#pZr8tY",
        "region=us-east-1", "force_path_style=false", "no_check_bucket=true"}},
      {"MinIO",
       filled(kMinio),
       {"provider=Minio", "access_key_id=AKIA1", "secret_access_key*=Vx9!wq-Lm3#pZr8tY",
        "region=us-east-1", "endpoint=https://s3.example.net", "force_path_style=true",
        "no_check_bucket=true"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(names(s3Keys(c.form)), c.keys);
  }
  S3Form typedEndpoint = filled(kAws);
  typedEndpoint.endpoint = "https://vpce.example";
  typedEndpoint.secretLoaded = true;
  EXPECT_EQ(names(s3Keys(typedEndpoint)),
            (std::vector<std::string>{"provider=AWS", "access_key_id=AKIA1", "region=us-east-1",
                                      "endpoint=https://vpce.example", "force_path_style=false",
                                      "no_check_bucket=true"}));
  EXPECT_TRUE(s3VaultFields(typedEndpoint).empty());
}

TEST(S3Form, ChoosingAPresetFillsOnlyTheRegionsItKnows) {
  S3Form form = newS3Form(kAws);
  form.region = "eu-west-1";
  choosePreset(form, kB2);
  EXPECT_EQ(form.region, "eu-west-1");
  EXPECT_TRUE(form.forcePathStyle);
  choosePreset(form, kR2);
  EXPECT_EQ(form.region, "auto");
  EXPECT_FALSE(form.forcePathStyle);
  EXPECT_TRUE(newS3Form(kOther).forcePathStyle);
}

TEST(SftpForm, ServerMustBeAHostNameOnly) {
  EXPECT_EQ(sftpServerRefusal("alice@nas.local"),
            "Server should be the hostname only \u2014 `alice@nas.local`. The `alice@` part "
            "belongs in Username.");
  EXPECT_EQ(sftpServerRefusal("nas.local"), std::nullopt);
  SftpForm form{"nas.local", "2222", "alice", SftpAuthMethod::kPassword, "pw", "", ""};
  EXPECT_EQ(sftpRefusal(form), std::nullopt);
  form.port = "70000";
  EXPECT_EQ(sftpRefusal(form), "The port must be a number from 1 to 65535.");
}

TEST(SftpForm, KeysFollowTheSignInMethod) {
  SftpForm password{"nas", "22", "alice", SftpAuthMethod::kPassword, "pw", "", ""};
  SftpForm key{"nas", "22", "alice", SftpAuthMethod::kPrivateKey, "", "/k/id_ed25519", ""};
  SftpForm keyWithPassphrase = key;
  keyWithPassphrase.keyPassphrase = "phrase";
  EXPECT_EQ(names(sftpKeys(password)),
            (std::vector<std::string>{"host=nas", "port=22", "user=alice", "pass*=pw"}));
  EXPECT_EQ(names(sftpKeys(key)), (std::vector<std::string>{"host=nas", "port=22", "user=alice",
                                                            "key_file=/k/id_ed25519"}));
  EXPECT_EQ(names(sftpKeys(keyWithPassphrase)).back(), "key_file_pass*=phrase");
  EXPECT_EQ(sftpVaultFields(password),
            (std::map<std::string, std::string>{{"username", "alice"}, {"password", "pw"}}));
  EXPECT_EQ(sftpAuthMethodNamed(sftpAuthMethodName(SftpAuthMethod::kPrivateKey)),
            SftpAuthMethod::kPrivateKey);
  EXPECT_EQ(sftpAuthMethodNamed("key"), std::nullopt);
}

TEST(FtpForm, SavingNeedsTheRiskAcknowledged) {
  FtpForm form{"ftp.example", "21", "bob", "pw", false};
  ASSERT_TRUE(ftpRefusal(form));
  EXPECT_NE(ftpRefusal(form)->find(kFtpAcknowledgement), std::string::npos);
  form.risksAcknowledged = true;
  EXPECT_EQ(ftpRefusal(form), std::nullopt);
  EXPECT_EQ(names(ftpKeys(form)),
            (std::vector<std::string>{"host=ftp.example", "port=21", "user=bob", "pass*=pw"}));
}

TEST(AccountEdit, OnlyChangedKeysAndTypedSecretsAreSent) {
  std::map<std::string, std::string> current{
      {"provider", "AWS"}, {"region", "us-east-1"}, {"secret_access_key", "obscured"}};
  std::vector<RemoteKey> wanted{{"provider", "AWS"},
                                {"region", "eu-west-1"},
                                {"secret_access_key", "typed", true},
                                {"no_check_bucket", "true"}};
  EXPECT_EQ(names(changedKeys(wanted, current)),
            (std::vector<std::string>{"region=eu-west-1", "secret_access_key*=typed",
                                      "no_check_bucket=true"}));
  EXPECT_EQ(editRefusal("s3"), std::nullopt);
  EXPECT_TRUE(editRefusal("sftp"));
  EXPECT_EQ(renameRefusal("a", "a"), std::nullopt);
  EXPECT_TRUE(renameRefusal("a", "b"));
}

TEST(RemotePaths, S3PutsTheBucketFirst) {
  struct Case {
    const char* type;
    std::optional<std::string> bucket;
    const char* path;
    const char* full;
  } cases[] = {
      {"s3", "photos", "2024/a.jpg", "work:photos/2024/a.jpg"},
      {"s3", "photos", "/2024", "work:photos/2024"},
      {"s3", "photos", "", "work:photos"},
      {"s3", std::nullopt, "2024", "work:2024"},
      {"drive", "photos", "2024", "work:2024"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.full);
    EXPECT_EQ(remoteTransferPath("work", c.type, c.bucket, c.path), c.full);
  }
  EXPECT_EQ(bucketWarning("s3", std::nullopt), kBucketNotSet);
  EXPECT_EQ(bucketWarning("s3", "photos"), std::nullopt);
  EXPECT_EQ(bucketWarning("sftp", std::nullopt), std::nullopt);
}

TEST(RemoteInspection, FindsZoneRegionsAndExpressEndpoints) {
  auto findings = inspectS3Remote(
      {{"region", "usw2-az1"}, {"endpoint", "https://s3express-usw2-az1.us-west-2.amazonaws.com"}});
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].text, "This remote's region looks invalid");
  ASSERT_TRUE(findings[0].fix);
  EXPECT_EQ(findings[0].fix->value, "us-west-2");
  EXPECT_EQ(findings[1].text, "S3 Express One Zone \u2014 upload not supported");
  EXPECT_FALSE(inspectS3Remote({{"region", "apne1-az1"}})[0].fix);
  EXPECT_TRUE(inspectS3Remote({{"region", "us-west-2"}}).empty());
}

}  // namespace
}  // namespace brimvale::cloud
