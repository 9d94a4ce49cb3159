#include "common/state/parked_names.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

TEST(ParkedNames, TellsParkedNamesAndTheirRelocatedPath) {
  struct Case {
    const char* path;
    const char* relocated;  // nullptr: not a parked name
  };
  const Case cases[] = {
      {"/h/Library/Foo.hollin-old", "/h/Library/Foo"},
      {"/h/app.hollin-old.1780000000", "/h/app"},
      {"/h/app.hollin-older", nullptr},
      {"/h/app.hollin-old.12a", nullptr},
      {"/h/app.hollin-old/", nullptr},  // the folder inside, not the parked one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const auto relocated = relocatedPathOf(c.path);
    EXPECT_EQ(relocated.has_value(), c.relocated != nullptr);
    if (relocated && c.relocated) {
      EXPECT_EQ(*relocated, fs::path(c.relocated));
    }
  }
}

TEST(ParkedNames, FindsThemSixLevelsDeepWithoutEnteringThemOrFollowingLinks) {
  brimvale::testing::TempFolder root;
  const fs::path home = root.folder("home");
  root.folder("home/Library/Foo.hollin-old/inner.hollin-old");
  root.folder("home/a/b/c/d/e/six.hollin-old");
  root.folder("home/a/b/c/d/e/f/seven.hollin-old");
  root.folder("home/Projects/app.hollin-old.1780000000");
  root.folder("home/Projects/app.hollin-older");
  root.file("home/notes.hollin-old");  // any entry counts; listing tells what it is
  root.folder("elsewhere/x.hollin-old");
  fs::create_directory_symlink(root / "elsewhere", home / "link");

  EXPECT_EQ(findParkedOriginals(home),
            (std::vector<fs::path>{home / "Library/Foo.hollin-old",
                                   home / "Projects/app.hollin-old.1780000000",
                                   home / "a/b/c/d/e/six.hollin-old", home / "notes.hollin-old"}));
  EXPECT_TRUE(findParkedOriginals(root / "missing").empty());
}

}  // namespace
}  // namespace brimvale
