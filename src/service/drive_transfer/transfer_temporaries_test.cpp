#include "service/drive_transfer/transfer_temporaries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "testing/base/temp_folder.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

// Given a copy's destination beside its source, then only the temporaries of
// files the source has are removed: nothing the source itself holds, nothing
// that is not a regular file, nothing of another shape.
TEST(CopyTemporaries, OnlyTheTemporariesOfSourceFilesAreRemoved) {
  brimvale::testing::TempFolder root("bv-temporaries");
  const fs::path source = root.path() / "source";
  const fs::path dest = root.path() / "dest";
  for (const char* file : {"clip.mov", "sub/notes v2.txt", ".keep.Ab12Cd", "sub/.hidden"}) {
    fs::create_directories((source / file).parent_path());
    std::ofstream(source / file) << "s";
  }
  fs::create_directories(dest / "sub");
  struct Case {
    const char* name;
    bool removed;
  } cases[] = {
      {".clip.mov.Xy12Zq", true},      {"sub/.notes v2.txt.000000", true},
      {".keep.Ab12Cd", false},          // the source has this very name
      {".other.mov.Xy12Zq", false},     // no such file in the source
      {"sub/.clip.mov.Xy12Zq", false},  // its file is in another folder
      {".clip.mov.Xy-2Zq", false},     {"clip.mov.Xy12Zq", false},
  };
  for (const auto& c : cases) std::ofstream(dest / c.name) << "partial";
  fs::create_directory(dest / ".clip.mov.dir123");
  fs::create_symlink("clip.mov", dest / ".clip.mov.lnk123");

  std::vector<fs::path> removed = removeCopyTemporaries(source, dest);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(!fs::exists(dest / c.name), c.removed);
    EXPECT_EQ(std::count(removed.begin(), removed.end(), fs::path(c.name)), c.removed ? 1 : 0);
  }
  EXPECT_EQ(removed.size(), 2u);
  EXPECT_TRUE(fs::is_directory(dest / ".clip.mov.dir123"));
  EXPECT_TRUE(fs::is_symlink(dest / ".clip.mov.lnk123"));
}

}  // namespace
}  // namespace brimvale::service
