#include "platform/linux/bundle_tree_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/base/tmpfs_drive.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

// Everything a copy must keep about one entry, readable in a failure message.
struct Entry {
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  off_t size = 0;
  timespec mtime{};
  std::string linkTarget, content;
  std::map<std::string, std::string> attributes;
  bool operator==(const Entry& o) const {
    return mode == o.mode && uid == o.uid && gid == o.gid && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           linkTarget == o.linkTarget && content == o.content && attributes == o.attributes;
  }
};
struct Tree {
  std::map<std::string, Entry> entries;
  std::set<std::set<std::string>> hardLinkGroups;
};

std::map<std::string, std::string> attributesOf(const fs::path& p) {
  std::map<std::string, std::string> out;
  char names[8192];
  const ssize_t n = llistxattr(p.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    std::string value(65536, '\0');
    const ssize_t size = lgetxattr(p.c_str(), names + at, value.data(), value.size());
    if (size >= 0) out[names + at] = value.substr(0, static_cast<std::size_t>(size));
  }
  return out;
}

// Access times are left out: reading a tree to compare it moves them.
Tree snapshot(const fs::path& root) {
  Tree tree;
  std::map<std::pair<dev_t, ino_t>, std::set<std::string>> byInode;
  std::vector<fs::path> all{root};
  for (const auto& e : fs::recursive_directory_iterator(root)) all.push_back(e.path());
  for (const auto& p : all) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    const std::string rel = p == root ? "." : fs::relative(p, root).string();
    Entry e{.mode = st.st_mode, .uid = st.st_uid, .gid = st.st_gid, .mtime = st.st_mtim};
    if (!S_ISDIR(st.st_mode)) e.size = st.st_size;
    if (S_ISLNK(st.st_mode)) e.linkTarget = fs::read_symlink(p).string();
    e.attributes = attributesOf(p);
    tree.entries[rel] = e;
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) byInode[{st.st_dev, st.st_ino}].insert(rel);
  }
  for (auto& [rel, e] : tree.entries) {
    if (!S_ISREG(e.mode)) continue;
    std::ifstream in(root / rel, std::ios::binary);
    e.content = std::string(std::istreambuf_iterator<char>(in), {});
  }
  for (auto& [key, names] : byInode) tree.hardLinkGroups.insert(names);
  return tree;
}

void setTimes(const fs::path& p, time_t seconds, long nanos) {
  const timespec times[2] = {{seconds + 500, nanos + 1}, {seconds, nanos}};
  ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

bool setAttribute(const fs::path& p, const std::string& name, const std::string& value) {
  return lsetxattr(p.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

ToolStep copyTree(const fs::path& from, const fs::path& to,
                  std::chrono::seconds deadline = std::chrono::seconds{60},
                  const BundleCopyObserver& onProgress = {}) {
  return copyBundleTree(from.string(), to.string(), "copy", deadline, onProgress);
}

// A bundle with every kind of entry and property the copy must keep.
fs::path makeBundle(const TempFolder& dir) {
  const fs::path app = dir / "Caf\xC3\xA9 \"Pro\".app";
  dir.file("Caf\xC3\xA9 \"Pro\".app/Contents/MacOS/app", "binary\n");
  dir.file("Caf\xC3\xA9 \"Pro\".app/Contents/Resources/read only.txt", "ro");
  dir.file("Caf\xC3\xA9 \"Pro\".app/Contents/Resources/secret", "s");
  dir.file("Caf\xC3\xA9 \"Pro\".app/Contents/Helpers/tool", "setuid");
  dir.file("Caf\xC3\xA9 \"Pro\".app/Contents/Locked/inside", "in a read-only folder");
  dir.file("Caf\xC3\xA9 \"Pro\".app/Contents/empty", "");
  dir.folder("Caf\xC3\xA9 \"Pro\".app/Contents/Shared/Empty Folder");
  std::string big(3u << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  dir.file("Caf\xC3\xA9 \"Pro\".app/Contents/Resources/big.bin", big);
  fs::create_hard_link(app / "Contents/MacOS/app", app / "Contents/Resources/app link");
  fs::create_hard_link(app / "Contents/MacOS/app", app / "Contents/Helpers/app again");
  fs::create_symlink("MacOS", app / "Contents/Current");
  fs::create_symlink("/nowhere/at/all", app / "Contents/Dangling");
  EXPECT_EQ(mkfifo((app / "Contents/pipe").c_str(), 0640), 0);

  chmod((app / "Contents/MacOS/app").c_str(), 0755);
  chmod((app / "Contents/Resources/read only.txt").c_str(), 0444);
  chmod((app / "Contents/Resources/secret").c_str(), 0600);
  if (geteuid() == 0) {
    EXPECT_EQ(chown((app / "Contents/Helpers/tool").c_str(), 1234, 5678), 0);
    EXPECT_EQ(lchown((app / "Contents/Current").c_str(), 4321, 8765), 0);
  }
  chmod((app / "Contents/Helpers/tool").c_str(), 04755);
  chmod((app / "Contents/Shared").c_str(), 02775);
  chmod((app / "Contents/Locked").c_str(), 0555);

  long nanos = 1;
  std::vector<fs::path> all;
  for (const auto& e : fs::recursive_directory_iterator(app)) all.push_back(e.path());
  std::sort(all.rbegin(), all.rend());  // contents before their folders
  all.push_back(app);
  for (const auto& p : all) {
    setTimes(p, 1'600'000'000 + nanos * 1000, nanos * 7919 % 999'999'999);
    ++nanos;
  }
  return app;
}

// Given a bundle with every kind of entry, then the copy keeps all of it
// (attributes too, where the file system keeps them) but the download
// quarantine, and its progress reaches the caller's thread ending with the totals.
TEST(LinuxBundleCopy, CopyKeepsEverythingTheBundleHasAndReportsProgress) {
  TempFolder dir;
  const fs::path app = makeBundle(dir);
  const fs::path contents = app / "Contents";
  const bool attributes = setAttribute(contents / "MacOS/app", "user.brimvale.test", "on a file");
  if (attributes) {
    ASSERT_TRUE(setAttribute(contents, "user.brimvale.folder", "on a folder"));
    ASSERT_TRUE(setAttribute(contents / "Resources/secret", "user.big", std::string(3000, 'v')));
    ASSERT_TRUE(setAttribute(contents / "Resources/secret", "user.com.apple.quarantine", "0081;x"));
  }
  const Tree before = snapshot(app);

  const fs::path copied = dir / "drive" / "Copy.app";
  fs::create_directories(copied.parent_path());
  std::vector<BundleCopyProgress> heard;
  const auto caller = std::this_thread::get_id();
  const ToolStep step =
      copyTree(app, copied, std::chrono::seconds{60}, [&](const BundleCopyProgress& p) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        heard.push_back(p);
      });
  ASSERT_TRUE(step.has_value()) << step.error().detail;

  Tree expected = before;
  expected.entries["Contents/Resources/secret"].attributes.erase("user.com.apple.quarantine");
  const Tree after = snapshot(copied);
  EXPECT_EQ(after.hardLinkGroups, expected.hardLinkGroups);
  ASSERT_EQ(after.entries.size(), expected.entries.size());
  for (const auto& [rel, entry] : expected.entries) {
    SCOPED_TRACE(rel);
    ASSERT_TRUE(after.entries.contains(rel));
    EXPECT_EQ(after.entries.at(rel), entry);
  }
  if (attributes) {
    EXPECT_EQ(snapshot(app)
                  .entries.at("Contents/Resources/secret")
                  .attributes.count("user.com.apple.quarantine"),
              1u)
        << "the original keeps its own attributes";
  }
  ASSERT_FALSE(heard.empty());
  // Nine regular names (three of them one file) and the bytes of the seven files.
  EXPECT_EQ(heard.back().filesCopied, 9u);
  EXPECT_EQ(heard.back().bytesCopied, (3u << 20) + 7 + 2 + 1 + 6 + 21);
}

TEST(LinuxBundleCopy, RefusesWhatCannotBeCopiedWithoutWritingAnything) {
  TempFolder dir;
  const fs::path app = dir.folder("X.app/Contents");
  dir.file("X.app/Contents/Info.plist", "plist");
  dir.folder("taken.app/Contents");
  dir.file("taken file", "keep me too");
  dir.link("taken link", "nowhere");
  dir.link("link to app", "X.app");
  struct Case {
    const char* name;
    fs::path from, to;
    std::string says;
  };
  const Case cases[] = {
      {"destination folder exists", dir / "X.app", dir / "taken.app",
       "There's already something at " + (dir / "taken.app").string() + ", so nothing was copied."},
      {"destination dangling link", dir / "X.app", dir / "taken link",
       "There's already something at " + (dir / "taken link").string()},
      {"source is a link", dir / "link to app", dir / "new2",
       (dir / "link to app").string() + " is a link, so nothing was copied."},
      {"destination inside the source", dir / "X.app", dir / "link to app/Contents/Copy.app",
       (dir / "link to app/Contents/Copy.app").string() + " is inside " + (dir / "X.app").string() +
           ", and a folder can't be copied into itself"},
  };
  const Tree untouched = snapshot(dir.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolStep step = copyTree(c.from, c.to);
    ASSERT_FALSE(step.has_value());
    EXPECT_EQ(step.error().exitCode, 1);
    EXPECT_NE(step.error().detail.find(c.says), std::string::npos) << step.error().detail;
    EXPECT_EQ(snapshot(dir.path()).entries, untouched.entries);
  }
}

TEST(LinuxBundleCopy, WithoutRootTheCopyIsOursAndKeepsNoForeignSetuidBit) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to lay out files of other users";
  constexpr uid_t kUser = 65534;
  TempFolder dir;
  fs::permissions(dir.path(), fs::perms::all);
  dir.folder("X.app/Contents");
  fs::permissions(dir.folder("drive"), fs::perms::all);
  struct Case {
    const char* name;
    uid_t owner;
    mode_t mode, copied;
  };
  const Case cases[] = {
      {"someone else's setuid tool", 1234, 04755, 0755},
      {"our own setuid tool", kUser, 04755, 04755},
  };
  for (const auto& c : cases) {
    const fs::path file = dir.file("X.app/Contents/" + std::string(c.name), "tool");
    ASSERT_EQ(chown(file.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
  }
  // The copy runs in a child that has given up root; it reports through its exit status.
  EXPECT_EXIT(
      {
        if (setgid(kUser) != 0 || setuid(kUser) != 0) std::_Exit(2);
        std::_Exit(copyTree(dir / "X.app", dir / "drive/X.app").has_value() ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    struct stat st {};
    ASSERT_EQ(lstat((dir / "drive/X.app/Contents" / c.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.copied);
    EXPECT_EQ(st.st_uid, kUser);
  }
}

TEST(LinuxBundleCopy, AFullDriveFailsNamingTheFile) {
  TempFolder dir;
  const fs::path app = makeBundle(dir);
  brimvale::testing::TmpfsMount drive(dir / "drive", "1m");
  BRIMVALE_REQUIRE_DRIVE(drive);
  const ToolStep step = copyTree(app, drive.path() / "Copy.app");
  ASSERT_FALSE(step.has_value());
  EXPECT_EQ(step.error().kind, ToolFailure::Kind::kExited);
  EXPECT_EQ(step.error().detail, "Couldn't copy " + (app / "Contents/Resources/big.bin").string() +
                                     ": No space left on device.");
}

}  // namespace
}  // namespace brimvale::platform
