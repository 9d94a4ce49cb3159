#include "cloud/rclone_helper.h"

#include <gtest/gtest.h>

#include "cloud/cloud_testing.h"
#include "cloud/rclone_client.h"
#include "cloud/rclone_helper_client.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

TEST(RcloneHelper, ParsesRemoteListing) {
  EXPECT_EQ(parseRemoteListing("photos:       googlephotos\nwork s3:     s3\n\nbad line\n"),
            (std::vector<Remote>{{"photos", "googlephotos"}, {"work s3", "s3"}}));
}

TEST(RcloneHelper, RemoteTypesFromProviders) {
  // Shaped as `rclone config providers` prints it, cut down.
  const std::string providers = R"([
    {"Name": "amazon cloud drive", "Prefix": "acd", "Options": [{"Name": "token"}]},
    {"Name": "drive", "Prefix": "drive", "Options": [{"Name": "scope"}]},
    {"Name": "sftp", "Prefix": "sftp", "Options": [{"Name": "host"}, {"Name": "pass"}]},
    {"Name": "hidden", "Prefix": "hidden", "Hide": true, "Options": []},
    {"Name": "pcloud", "Prefix": "pcloud", "Options": [{"Name": "token"}]}
  ])";
  EXPECT_EQ(parseRemoteTypes(providers),
            (std::vector<RemoteType>{{"acd", "Acd", "cloud", true},
                                     {"drive", "Google Drive", "externaldrive.badge.icloud", true},
                                     {"sftp", "Sftp", "server.rack", false},
                                     {"pcloud", "Pcloud", "cloud", true}}));
  EXPECT_EQ(parseRemoteTypes("{}"), std::nullopt);
}

TEST(RcloneHelper, RefusesNamesRcloneWouldMisread) {
  struct Case {
    std::string name;
    bool usable;
  } cases[] = {{"work-s3", true}, {"my drive", true}, {"", false},   {"--config=/x", false},
               {" lead", false},  {"a:b", false},     {"a/b", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isUsableRemoteName(c.name), c.usable);
  }
}

// The installed program, end to end: what it lists, tests and removes is
// what rclone's configuration holds.
TEST(RcloneHelperProgram, ListsTestsAndRemovesRemotes) {
  brimvale::testing::TempFolder data("bv-helper");
  RcloneClient client(testing::realRclone());
  ASSERT_TRUE(client.createRemote("box-a", "alias", {{"remote", data.path().string()}}));
  ASSERT_TRUE(client.createRemote("box-b", "alias", {{"remote", (data / "gone").string()}}));
  const RcloneHelperClient helper(RCLONE_HELPER_PROGRAM);

  auto remotes = helper.remotesList();
  ASSERT_TRUE(remotes.has_value()) << remotes.error().detail;
  EXPECT_EQ(*remotes, (std::vector<Remote>{{"box-a", "alias"}, {"box-b", "alias"}}));

  auto types = helper.remoteTypes();
  ASSERT_TRUE(types.has_value()) << types.error().detail;
  const auto drive = std::find_if(types->begin(), types->end(),
                                  [](const RemoteType& t) { return t.id == "drive"; });
  ASSERT_NE(drive, types->end());
  EXPECT_TRUE(drive->oauth);

  struct Case {
    std::string what;
    Result<HelperVerdict> verdict;
    bool ok;
  } cases[] = {
      {"reachable", helper.remoteTest("box-a"), true},
      {"folder missing", helper.remoteTest("box-b"), false},
      {"option-like name", helper.remoteRemove("--all"), false},
      {"remove", helper.remoteRemove("box-b"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.verdict.has_value()) << c.verdict.error().detail;
    EXPECT_EQ(c.verdict->ok, c.ok) << c.verdict->message;
    EXPECT_FALSE(c.verdict->message.empty());
  }
  EXPECT_EQ(helper.remotesList().value_or(std::vector<Remote>{}),
            (std::vector<Remote>{{"box-a", "alias"}}));
}

TEST(RcloneHelperProgram, ClientErrors) {
  brimvale::testing::TempFolder dir("bv-helper");
  const std::string noisy = dir.file("noisy", "#!/bin/sh\necho 'not json'\n").string();
  const std::string refusing = dir.file("refusing", "#!/bin/sh\necho 'No rclone.' >&2\nexit 1\n");
  for (const auto& script : {noisy, refusing}) chmod(script.c_str(), 0755);
  struct Case {
    std::string what;
    std::string program;
    Errc code;
  } cases[] = {
      {"missing program", (dir / "absent").string(), Errc::kLaunchFailed},
      {"not JSON", noisy, Errc::kParse},
      {"helper's own failure", refusing, Errc::kToolFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto remotes = RcloneHelperClient(c.program).remotesList();
    ASSERT_FALSE(remotes.has_value());
    EXPECT_EQ(remotes.error().code, c.code);
  }
  EXPECT_EQ(RcloneHelperClient(refusing).remotesList().error().detail, "No rclone.");
}

}  // namespace
}  // namespace brimvale::cloud
