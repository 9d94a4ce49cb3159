#include "common/base/folder_walk.h"
#include "testing/base/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
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
