#include "cloud/rclone_client.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cloud/cloud_testing.h"
#include "cloud/rclone_obscure.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

using testing::realRclone;
using testing::RecordingRunner;
namespace fs = std::filesystem;

std::string contentOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Only whether it failed and why, for tables of mixed operations.
template <class T>
Result<void> voided(const Result<T>& result) {
  if (!result) return std::unexpected(result.error());
  return {};
}

TEST(RemotePath, LocalPathsWithColonsStayLocal) {
  struct Case {
    std::string path;
    bool remote;
    std::optional<std::string> name;
  } cases[] = {
      {"drive-personal:Photos", true, "drive-personal"},
      {"s3:", true, "s3"},
      {"work:a/b:c", true, "work"},
      {"/Users/me/a:b", false, std::nullopt},
      {":local:x", false, std::nullopt},
      {"relative/dir:x", false, std::nullopt},
      {"/plain/path", false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isRemotePath(c.path), c.remote);
    EXPECT_EQ(remoteNameOf(c.path), c.name);
  }
}

TEST(RcloneProbe, ClassifiesKnownFailures) {
  struct Case {
    std::string output;
    std::optional<std::string> meaning;
  } cases[] = {
      {"ERROR : : error listing: directory not found", "folder no longer exists at this path"},
      {"NoSuchBucket: The specified bucket does not exist",
       "S3 bucket missing (check Edit Account \u2192 Bucket)"},
      {"AccessDenied: Access Denied", "permission denied (IAM / token may have expired)"},
      {"dial tcp: connection refused", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(classifyProbeFailure(c.output), c.meaning);
  }
}

// rclone's own obscuring is the reference: whatever it writes must read back.
TEST(RcloneObscure, RevealsWhatRcloneObscured) {
  for (std::string plain :
       std::vector<std::string>{"a", "correct horse battery staple", "p\u00e4ss w\u00f6rd \"'\\$",
                                std::string(100, 'z')}) {
    SCOPED_TRACE(plain);
    const ProcessResult obscured =
        runProcess({.path = realRclone(), .args = {"obscure", "-"}, .stdinData = plain});
    ASSERT_TRUE(obscured.succeeded()) << obscured.err;
    std::string text = obscured.out;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    EXPECT_EQ(revealObscured(text), plain);
  }
  for (std::string bad : {"", "short", "not base64 at all!", "A"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(revealObscured(bad).has_value());
  }
}

TEST(RcloneClient, FailureTextsWhenRcloneCannotRun) {
  const RcloneClient missing(std::nullopt);
  const RcloneClient broken("/nonexistent/rclone");
  const auto detail = [](const auto& result) {
    return result ? std::string("(it succeeded)") : result.error().detail;
  };
  EXPECT_TRUE(detail(missing.run({"version"}))
                  .starts_with("rclone is not installed. Install with: brew install rclone"));
  EXPECT_EQ(detail(missing.deleteFile("r", "x")), "rclone is not installed.");
  EXPECT_TRUE(detail(broken.run({"version"})).starts_with("Failed to launch rclone: "));
  EXPECT_TRUE(detail(broken.listRcloneEntries("r:x")).starts_with("Couldn't run rclone: "));
  EXPECT_TRUE(detail(broken.listRcloneEntries("/tmp/x")).starts_with("Invalid cloud path."));
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

TEST(RcloneClient, RemoteDefinitionFailures) {
  RcloneClient client(realRclone());
  auto unknownType = client.createRemote("odd", "no-such-backend", {{"a", "b"}});
  ASSERT_FALSE(unknownType.has_value());
  EXPECT_TRUE(unknownType.error().detail.starts_with("rclone config create failed.\n\n"));

  // A secret rclone has no question for must not leave a half-made remote.
  auto unknownSecret = client.createRemote("half", "local", {{"nope", "hidden value", true}});
  ASSERT_FALSE(unknownSecret.has_value());
  EXPECT_TRUE(unknownSecret.error().detail.starts_with("rclone config create failed.\n\n"));
  EXPECT_EQ(unknownSecret.error().detail.find("hidden value"), std::string::npos);
  EXPECT_FALSE(client.dump()->contains("half"));

  // rclone itself would replace the existing remote without a word.
  ASSERT_TRUE(client.createRemote("mine", "alias", {{"remote", "/first"}}));
  auto taken = client.createRemote("mine", "alias", {{"remote", "/second"}});
  ASSERT_FALSE(taken.has_value());
  EXPECT_NE(taken.error().detail.find("A remote named mine already exists."), std::string::npos);
  EXPECT_EQ(client.dump()->at("mine").at("remote"), "/first");

  auto missingRemote = client.updateKey("nobody", {"pass", "x", true});
  ASSERT_FALSE(missingRemote.has_value());
  EXPECT_TRUE(missingRemote.error().detail.starts_with("Couldn't update "))
      << missingRemote.error().detail;
}

TEST(RcloneClient, BrowserFolderOperationsOnLocalRemote) {
  brimvale::testing::TempFolder root("bv-browse");
  root.file("blocker", "a file where a folder is wanted");
  RcloneClient client(realRclone());
  ASSERT_TRUE(client.createRemote("here", "alias", {{"remote", root.path().string()}}));

  ASSERT_TRUE(client.makeFolder("here", "new folder"));
  EXPECT_EQ(contentOf(root / "new folder" / ".brimvale-keep"),
            "Brimvale folder marker \u2014 safe to delete.\n");
  ASSERT_TRUE(client.probe("here:new folder"));
  auto entries = client.listRcloneEntries("here:new folder");
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(*entries, (std::vector<RcloneEntry>{{".brimvale-keep", ".brimvale-keep", false}}));

  ASSERT_TRUE(client.deleteFile("here", "new folder/.brimvale-keep"));
  EXPECT_FALSE(fs::exists(root / "new folder" / ".brimvale-keep"));
  ASSERT_TRUE(client.deleteFolder("here", "new folder"));
  EXPECT_FALSE(fs::exists(root / "new folder"));

  struct Case {
    std::string what;
    Result<void> result;
    std::string startsWith;
  } cases[] = {
      {"mkdir under a file", client.makeFolder("here", "blocker/sub"),
       "rclone refused to create the folder."},
      {"purge of nothing", client.deleteFolder("here", "gone"),
       "rclone refused to delete the item."},
      {"probe of a vanished folder", client.probe("here:gone"),
       "folder no longer exists at this path"},
      {"listing of a vanished folder", voided(client.listRcloneEntries("here:gone")),
       "Couldn't list this folder. Details: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.result.has_value());
    EXPECT_TRUE(c.result.error().detail.starts_with(c.startsWith)) << c.result.error().detail;
  }
}

// Given an object store that takes the folder but not the marker, the user
// learns the folder exists and when it will show.
TEST(RcloneClient, FolderWithoutMarker) {
  brimvale::testing::TempFolder dir("bv-marker");
  const fs::path rclone = dir.file(
      "rclone",
      "#!/bin/sh\ncase \"$1\" in mkdir) exit 0;; *) echo 'write denied' >&2; exit 1;; esac\n");
  fs::permissions(rclone, fs::perms::owner_all);
  auto made = RcloneClient(rclone.string()).makeFolder("store", "bucket/new");
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().detail,
            "Folder created; marker not written (write denied). The folder will appear once you "
            "put something in it.");
}

}  // namespace
}  // namespace brimvale::cloud
