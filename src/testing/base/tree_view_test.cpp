#include "testing/base/tree_view.h"

#include <gtest/gtest.h>

#include <functional>

#include "testing/base/temp_folder.h"

namespace brimvale::testing {
namespace {
namespace fs = std::filesystem;

// Lays out a file, a link and an empty folder below "tree".
void layOut(const TempFolder& dir) {
  dir.file("tree/notes.txt", "first draft");
  dir.link("tree/latest", "notes.txt");
  dir.folder("tree/empty");
}

// Given a change to a tree, then the sums taken before and after differ
// exactly when the change is one a user would see.
TEST(TreeSums, SeeEveryChangeAUserWouldSee) {
  const struct {
    const char* name;
    Folders folders;
    std::function<void(const TempFolder&)> change;
    bool seen;
  } kCases[] = {
      {"nothing", Folders::kListed, [](const TempFolder&) {}, false},
      {"same size, other bytes", Folders::kListed,
       [](const TempFolder& d) { d.file("tree/notes.txt", "final draft"); }, true},
      {"link pointed elsewhere", Folders::kListed,
       [](const TempFolder& d) {
         fs::remove(d / "tree/latest");
         d.link("tree/latest", "other.txt");
       },
       true},
      {"link replaced by its target's copy", Folders::kListed,
       [](const TempFolder& d) {
         fs::remove(d / "tree/latest");
         d.file("tree/latest", "first draft");
       },
       true},
      {"empty folder gone", Folders::kListed,
       [](const TempFolder& d) { fs::remove(d / "tree/empty"); }, true},
      {"empty folder gone, folders left out", Folders::kLeftOut,
       [](const TempFolder& d) { fs::remove(d / "tree/empty"); }, false},
      {"file gone, folders left out", Folders::kLeftOut,
       [](const TempFolder& d) { fs::remove(d / "tree/notes.txt"); }, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TempFolder dir("bv-tree-sums");
    layOut(dir);
    const TreeSums before = treeSums(dir / "tree", c.folders);
    c.change(dir);
    EXPECT_EQ(treeSums(dir / "tree", c.folders) != before, c.seen);
  }
}

TEST(TreeSums, ARootThatIsALinkIsFollowed) {
  const TempFolder dir("bv-tree-sums");
  layOut(dir);
  dir.link("through", "tree");
  EXPECT_EQ(treeSums(dir / "through"), treeSums(dir / "tree"));
  EXPECT_EQ(treeSums(dir / "through").count("latest"), 1u);
}

}  // namespace
}  // namespace brimvale::testing
