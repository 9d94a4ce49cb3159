#include "common/base/folder_walk.h"
#include "testing/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>

namespace brimvale {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> namesOf(const std::vector<DirEntry>& entries, const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.path.lexically_relative(root).string());
  std::sort(names.begin(), names.end());
  return names;
}

// The folders' full paths below `path`, as a walk's visit returns them.
std::vector<std::string> childrenOf(const std::string& path) {
  std::vector<std::string> next;
  for (const auto& e : OpenFolder(path).entries().value_or(std::vector<FolderEntry>{}))
    next.push_back(path + "/" + e.name);
  return next;
}

class FolderWalk : public ::testing::Test {
 protected:
  brimvale::testing::TempFolder tmp_{"folder-walk"};
  const fs::path root_ = tmp_.path();
};

TEST_F(FolderWalk, ListsEveryNameOnceWhateverItsBytes) {
  const std::vector<std::string> names{"plain",     "with space", "new\nline",
                                       "tab\there", "\xff\xfe",   ".hidden"};
  for (const auto& n : names) std::ofstream(root_ / n) << "x";
  fs::create_directory(root_ / "sub");
  OpenFolder folder(root_.string());
  ASSERT_TRUE(folder.isOpen());
  auto entries = folder.entries();
  ASSERT_TRUE(entries);
  std::map<std::string, unsigned char> seen;
  for (const auto& e : *entries) seen[e.name] = e.type;
  EXPECT_EQ(seen.size(), names.size() + 1);
  for (const auto& n : names) EXPECT_TRUE(seen.contains(n)) << n;
  // A second listing of the same open folder starts from the top again.
  EXPECT_EQ(folder.entries()->size(), entries->size());
}

TEST_F(FolderWalk, MissingFoldersAndLinksToFoldersDoNotOpen) {
  fs::create_directory(root_ / "real");
  fs::create_directory_symlink(root_ / "real", root_ / "link");
  EXPECT_FALSE(OpenFolder((root_ / "gone").string()).entries());
  EXPECT_FALSE(OpenFolder((root_ / "link").string()).isOpen());
  EXPECT_TRUE(OpenFolder((root_ / "real").string()).isOpen());
}

// Every folder of a wide and deep tree is visited exactly once, whichever
// thread takes it, and per-thread results add up.
TEST_F(FolderWalk, VisitsEachFolderOnceOnEveryThreadCount) {
  std::size_t folders = 1;
  for (int a = 0; a < 20; ++a) {
    fs::path p = root_ / ("a" + std::to_string(a));
    for (int depth = 0; depth < 5; ++depth, p /= "d") {
      fs::create_directories(p);
      ++folders;
    }
  }
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    std::vector<std::size_t> perThread(threads, 0);
    std::mutex mutex;
    std::vector<std::string> visited;
    visitFolders<std::string>({root_.string()}, threads, [&](std::string& path, unsigned thread) {
      ++perThread[thread];
      {
        std::lock_guard lock(mutex);
        visited.push_back(path);
      }
      return childrenOf(path);
    });
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(std::adjacent_find(visited.begin(), visited.end()), visited.end());
    EXPECT_EQ(visited.size(), folders);
    std::size_t sum = 0;
    for (auto n : perThread) sum += n;
    EXPECT_EQ(sum, folders);
  }
}

// A visit that fails ends the walk with its exception instead of leaving the
// other threads waiting for work that will never come.
TEST_F(FolderWalk, AFailingVisitEndsTheWalkWithItsError) {
  for (int a = 0; a < 30; ++a) fs::create_directories(root_ / ("a" + std::to_string(a)) / "b");
  std::atomic<int> visits{0};
  auto walk = [&] {
    visitFolders<std::string>({root_.string()}, 3, [&](std::string& path, unsigned) {
      if (++visits == 5) throw std::runtime_error("unreadable");
      return childrenOf(path);
    });
  };
  EXPECT_THROW(walk(), std::runtime_error);
}

TEST_F(FolderWalk, EntryListingsShowAnyNameAndNeverFollowLinks) {
  const fs::path root = root_;
  const std::string odd = "new\nline \"q\" 'a' \xC3\xBC";
  fs::create_directories(root / odd / "deeper");
  std::ofstream(root / odd / "inner file") << "x";
  std::ofstream(root / odd / "deeper" / "too deep") << "x";
  std::ofstream(root / "top\tfile") << "x";
  fs::create_directory_symlink(root / odd, root / "linked dir");

  EXPECT_TRUE(canListFolder(root));
  EXPECT_FALSE(canListFolder(root / "missing"));
  auto top = listEntries(root);
  ASSERT_TRUE(top.has_value());
  EXPECT_EQ(namesOf(*top, root), (std::vector<std::string>{"linked dir", odd, "top\tfile"}));
  EXPECT_EQ(namesOf(filesToDepthTwo(root), root),
            (std::vector<std::string>{odd + "/inner file", "top\tfile"}));
  EXPECT_FALSE(listEntries(root / "missing").has_value());
}

}  // namespace
}  // namespace brimvale
