#include "cloud/rclone_helper.h"

#include <gtest/gtest.h>

#include "cloud/cloud_testing.h"
#include "cloud/rclone_client.h"
#include "cloud/rclone_helper_client.h"
#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

TEST(RcloneHelper, ParsesRemoteListing) {
  EXPECT_EQ(parseRemoteListing("photos:       googlephotos\nwork s3:     s3\n\nbad line\n"),
            (std::vector<Remote>{{"photos", "googlephotos"}, {"work s3", "s3"}}));
}

TEST(RcloneHelper, RefusesNamesRcloneWouldMisread) {
  struct Case {
    std::string name;
    bool usable;
  } cases[] = {{"my drive", true}, {"--config=/x", false}, {"a:b", false}, {"a/b", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isUsableRemoteName(c.name), c.usable);
  }
}

// The installed program, end to end: what it lists, tests and removes is
// what rclone's configuration holds.
TEST(RcloneHelperProgram, ListsTestsAndRemovesRemotes) {
  brimvale::testing::TempFolder data("bv-helper");
  RcloneClient client(testing::realRclone(), runProcess);
  ASSERT_TRUE(client.createRemote("box-a", "alias", {{"remote", data.path().string()}}));
  ASSERT_TRUE(client.createRemote("box-b", "alias", {{"remote", (data / "gone").string()}}));
  const RcloneHelperClient helper(RCLONE_HELPER_PROGRAM, runProcess);

  auto remotes = helper.remotesList();
  ASSERT_TRUE(remotes.has_value()) << remotes.error().detail;
  EXPECT_EQ(*remotes, (std::vector<Remote>{{"box-a", "alias"}, {"box-b", "alias"}}));

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

}  // namespace
}  // namespace brimvale::cloud
