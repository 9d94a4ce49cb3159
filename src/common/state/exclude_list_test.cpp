#include "common/state/exclude_list.h"

#include <gtest/gtest.h>

namespace brimvale {
namespace {

TEST(ExcludeList, FoldersExcludeWhatIsBelowAndPatternsMatchNames) {
  const ExcludeList list({"~/Projects/keep", "$HOME/Music/", "/srv/data", "*.keep", "node_modules",
                          "relative/folder", ""},
                         "/home/ann");
  struct Case {
    const char* path;
    const char* within;
    bool excluded;
  } cases[] = {
      {"/home/ann/Projects/keep", "", true},
      {"/home/ann/Projects/keep/a/b.txt", "", true},
      {"/home/ann/Projects/keeper", "", false},  // a sibling with a longer name
      {"/home/ann/Projects", "", false},         // the folder above
      {"/home/ann/Music/song.ogg", "", true},    // a trailing slash
      {"/srv/data/x", "", true},
      {"/srv/database", "", false},
      {"/home/ann/Downloads/report.keep", "", true},
      {"/home/ann/Downloads/report.keep.txt", "", false},
      {"/home/ann/Downloads/.hidden.keep", "", false},  // '*' does not match a leading dot
      {"/home/ann/Code/node_modules", "", true},
      // Below a walk's root every name counts; without one only the last.
      {"/home/ann/Code/node_modules/lib/a.js", "/home/ann/Code", true},
      {"/home/ann/Code/node_modules/lib/a.js", "", false},
      // Names above the root do not: a home inside such a folder is not excluded.
      {"/node_modules/home/a.js", "/node_modules/home", false},
      {"/home/ann/relative/folder", "/home/ann", false},  // no place, so ignored
      {"/home/ann/Downloads/../Projects/keep/x", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " within " + c.within);
    EXPECT_EQ(list.excludes(c.path, c.within), c.excluded);
  }
  // A folder holding an excluded one is kept whole, but only by keeps().
  EXPECT_TRUE(list.keeps("/home/ann/Projects"));
  EXPECT_FALSE(list.excludes("/home/ann/Projects"));
  EXPECT_FALSE(list.keeps("/home/ann/Downloads"));
  EXPECT_TRUE(ExcludeList({}, "/home/ann").empty());
  EXPECT_TRUE(ExcludeList({"~/x"}, "").empty());  // no home to place it in
}

TEST(ExcludeList, KeptLineSaysCountAndSize) {
  EXPECT_EQ(keptByExcludesLine({0, 0}), "Kept by your excludes: 0 items, 0 bytes");
  EXPECT_EQ(keptByExcludesLine({1, 1536}), "Kept by your excludes: 1 item, 1.5 KB");
  EXPECT_EQ(keptByExcludesLine({3, 5ULL << 30}), "Kept by your excludes: 3 items, 5.0 GB");
}

}  // namespace
}  // namespace brimvale
