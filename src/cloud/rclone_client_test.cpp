#include "cloud/rclone_client.h"

#include <gtest/gtest.h>

#include "cloud/cloud_testing.h"
#include "cloud/rclone_obscure.h"
#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

using testing::realRclone;
using testing::RecordingRunner;
namespace fs = std::filesystem;

TEST(RemotePath, LocalPathsWithColonsStayLocalAndOnlyRemotesGetTheBucket) {
  struct Case {
    std::string path;
    bool remote;
    std::optional<std::string> name;
    std::string inBucket;  // with the default bucket "bk" put first
  } cases[] = {
      {"drive-personal:Photos", true, "drive-personal", "drive-personal:bk/Photos"},
      {"work:a/b:c", true, "work", "work:bk/a/b:c"},
      {"s3:bk/x", true, "s3", "s3:bk/x"},
      {"s3:bkx/y", true, "s3", "s3:bk/bkx/y"},
      {"s3:", true, "s3", "s3:bk"},
      {"/Users/me/a:b", false, std::nullopt, "/Users/me/a:b"},
      {"relative/dir:x", false, std::nullopt, "relative/dir:x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isRemotePath(c.path), c.remote);
    EXPECT_EQ(remoteNameOf(c.path), c.name);
    EXPECT_EQ(withDefaultBucket(c.path, "bk"), c.inBucket);
  }
}

// Given an SFTP server that wants a password, the password reaches rclone
// without ever being on a child's argument list, plain or obscured, and the
// remote then works; changing it later keeps it off argument lists too.
TEST(RcloneClient, SecretsNeverReachArgumentListsAndTheRemoteWorks) {
  brimvale::testing::TempFolder served("bv-sftp");
  served.file("shared/inside/file.txt", "hello");
  const std::string password = "s3cret pass-\u00e9";
  const testing::LoopbackSftpServer server(served.path().string(), "alice", password);
  RecordingRunner recorder;
  RcloneClient client(realRclone(), recorder.runner());

  ASSERT_TRUE(client.createRemote("box-sftp", "sftp",
                                  {{"host", "127.0.0.1"},
                                   {"port", std::to_string(server.port())},
                                   {"user", "alice"},
                                   {"pass", password, true}}))
      << "created";
  auto folders = client.listFolders("box-sftp", "shared");
  ASSERT_TRUE(folders.has_value()) << folders.error().detail;
  ASSERT_EQ(folders->size(), 1u);
  EXPECT_EQ((*folders)[0], (RcloneEntry{"inside", "inside", true}));

  const std::string changed = "another one 42";
  ASSERT_TRUE(client.updateKey("box-sftp", {"pass", changed, true}));
  auto stored = client.dump();
  ASSERT_TRUE(stored.has_value());
  const std::string obscured = stored->at("box-sftp").at("pass");
  EXPECT_EQ(client.reveal(obscured), changed);

  for (const auto& args : recorder.argumentLists()) {
    for (const auto& arg : args) {
      SCOPED_TRACE(arg);
      EXPECT_EQ(arg.find(password), std::string::npos);
      EXPECT_EQ(arg.find(changed), std::string::npos);
      EXPECT_EQ(arg.find(obscured), std::string::npos);
    }
  }
}

// rclone itself would replace an existing remote without a word.
TEST(RcloneClient, AnExistingRemoteIsNeverReplaced) {
  RcloneClient client(realRclone(), runProcess);
  ASSERT_TRUE(client.createRemote("mine", "alias", {{"remote", "/first"}}));
  auto taken = client.createRemote("mine", "alias", {{"remote", "/second"}});
  ASSERT_FALSE(taken.has_value());
  EXPECT_NE(taken.error().detail.find("A remote named mine already exists."), std::string::npos);
  EXPECT_EQ(client.dump()->at("mine").at("remote"), "/first");
}

}  // namespace
}  // namespace brimvale::cloud
