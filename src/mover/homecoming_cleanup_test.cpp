#include "mover/homecoming_cleanup.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/base/test_file.h"
#include "testing/base/tree_view.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::write;

// After a copy came home: the drive copy goes, and where the two versions
// of a file differ both stay, one at the home path and the other beside it.
TEST(Homecoming, KeepsBothVersionsWhereTheyDifferAndRemovesTheDriveCopy) {
  const std::string displaced = displacedFolderName("0123456789ab");
  struct Case {
    const char* name;
    const char* onDrive;    // what notes.txt holds on the drive
    const char* atHome;     // and at the home path once the copy is home
    const char* displaced;  // what the copy tool put aside at home, nullptr for nothing
    HomePath which;
    const char* atHomePath;  // what notes.txt holds afterwards
    const char* beside;      // what notes.txt.kept-* holds, "" for no such file
  };
  const Case cases[] = {
      {"same on both", "same", "same", nullptr, HomePath::kHomeVersion, "same", ""},
      {"written at home since", "drive", "home", nullptr, HomePath::kHomeVersion, "home", "drive"},
      {"the copy tool put the home version aside", "drive", "drive", "home", HomePath::kHomeVersion,
       "home", "drive"},
      {"the user chose the drive's version", "drive", "drive", "home", HomePath::kDriveVersion,
       "drive", "home"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder tmp;
    const fs::path drive = tmp.path() / "drive" / "Projects", home = tmp.path() / "Projects";
    write(drive / "deep" / "same.bin", "deep");
    write(home / "deep" / "same.bin", "deep");
    write(drive / "notes.txt", c.onDrive);
    write(home / "notes.txt", c.atHome);
    if (c.displaced) write(home / displaced / "notes.txt", c.displaced);
    // The relocation's own link, displaced by the copy: it is not the user's.
    fs::create_directories(home / displaced);
    fs::create_symlink(drive / "deep" / "same.bin", home / displaced / "link");

    const HomecomingCleanup out = cleanUpAfterHomecoming(
        drive, home, displaced, ".incoming", c.which, ReplaceGuard(), FileOperations::real());
    EXPECT_TRUE(out.removal.complete());
    EXPECT_FALSE(fs::exists(drive));
    EXPECT_EQ(readFile(home / "notes.txt").value_or("?"), c.atHomePath);
    std::vector<std::string> names;
    for (const auto& [name, sum] :
         brimvale::testing::treeSums(home, brimvale::testing::Folders::kLeftOut))
      names.push_back(name);
    ASSERT_EQ(names.size(), *c.beside ? 3u : 2u) << ::testing::PrintToString(names);
    if (*c.beside) {
      ASSERT_EQ(out.keptBeside.size(), 1u);
      EXPECT_TRUE(out.keptBeside[0].starts_with("notes.txt.kept-")) << out.keptBeside[0];
      EXPECT_EQ(readFile(home / out.keptBeside[0]).value_or("?"), c.beside);
    } else {
      EXPECT_TRUE(out.keptBeside.empty());
    }
  }
}

// Before the copy comes home, each of the relocation's links becomes the
// file it leads to in one rename, so the copy tool never leaves a path empty
// while it replaces a link; anything else at home is left as it is.
TEST(Homecoming, ReplacesTheRelocationsLinksBeforeTheCopyComesHome) {
  brimvale::testing::TempFolder tmp;
  const fs::path drive = tmp.path() / "drive" / "Projects", home = tmp.path() / "Projects";
  write(drive / "doc.txt", "drive doc");
  write(drive / "deep" / "notes.txt", "drive notes");
  write(drive / "mine.txt", "drive mine");
  write(tmp.path() / "elsewhere.txt", "elsewhere");
  fs::create_directories(drive / "folder");
  fs::create_directories(home / "deep");
  fs::create_symlink(drive / "doc.txt", home / "doc.txt");
  fs::create_symlink(drive / "deep" / "notes.txt", home / "deep" / "notes.txt");
  fs::create_symlink(drive / "folder", home / "folder");
  fs::create_symlink(tmp.path() / "elsewhere.txt", home / "other.txt");
  write(home / "mine.txt", "written at home");
  const auto driveTime = fs::last_write_time(drive / "doc.txt");

  ASSERT_EQ(prepareHomecoming(drive, home, ".incoming"), 2u);
  struct Case {
    const char* path;
    bool link;
    const char* content;
  };
  const Case cases[] = {{"doc.txt", false, "drive doc"},
                        {"deep/notes.txt", false, "drive notes"},
                        {"folder", true, ""},
                        {"other.txt", true, "elsewhere"},
                        {"mine.txt", false, "written at home"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(fs::is_symlink(home / c.path), c.link);
    if (*c.content) {
      EXPECT_EQ(readFile(home / c.path).value_or("?"), c.content);
    }
  }
  EXPECT_EQ(fs::last_write_time(home / "doc.txt"), driveTime);
  EXPECT_TRUE(fs::is_empty(home / ".incoming"));
  EXPECT_EQ(readFile(drive / "doc.txt").value_or("?"), "drive doc");
}

}  // namespace
}  // namespace brimvale::mover
