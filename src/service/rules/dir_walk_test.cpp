#include "service/rules/dir_walk.h"
#include "testing/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

std::vector<std::string> namesOf(const std::vector<DirEntry>& entries, const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.path.lexically_relative(root).string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(DirWalk, ListsAnyNameAndNeverFollowsLinks) {
  const brimvale::testing::TempFolder tmp("brimvale-walk");
  const fs::path root = tmp.path();
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

TEST(DirWalk, AgeIsMeasuredInWholeDayPeriods) {
  DirEntry e;
  const std::time_t now = 1'000'000'000;
  e.info.st_mtime = now - 7 * 86400;
  EXPECT_FALSE(e.olderThan(7, now)) << "exactly seven days is not more than seven";
  e.info.st_mtime -= 1;
  EXPECT_TRUE(e.olderThan(7, now));
  EXPECT_TRUE(e.olderThan(0, now));
}

}  // namespace
}  // namespace brimvale::service
