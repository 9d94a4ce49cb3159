#include "common/base/folder_in_use.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

// The process table is read, not asked: a made-up one with a single process
// whose only tie to the folder is the one each row gives it.
TEST(FolderInUseProbe, ProcessTableSeesEachKindOfUseAndNothingElse) {
  const brimvale::testing::TempFolder tmp("brimvale-in-use");
  const fs::path folder = tmp.path() / "Work";
  fs::create_directories(folder);
  const std::string at = folder.string();
  const std::string mapsPrefix = "7f00-7f01 r--p 00000000 08:01 42                         ";
  struct Row {
    const char* what;
    std::string cwd, fd, maps;
    bool used;
  };
  const Row rows[] = {
      {"working folder inside", at + "/sub", "/dev/null", "", true},
      {"open file inside", "/", at + "/a.txt", "", true},
      {"mapped file inside", "/", "/dev/null",
       mapsPrefix + "/usr/lib/x.so\n" + mapsPrefix + at + "/lib.so\n", true},
      {"mapped file deleted since", "/", "/dev/null", mapsPrefix + at + "/old.so (deleted)\n",
       true},
      {"sibling with a longer name", at + "-old", at + "2/a.txt", mapsPrefix + at + "x/lib.so\n",
       false},
      {"folder named inside another path", "/", "/dev/null",
       mapsPrefix + "/cache" + at + "/lib.so\n", false},
      {"nothing inside", "/", "/dev/null", mapsPrefix + "/usr/lib/x.so\n", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const fs::path proc = tmp.path() / "proc";
    fs::remove_all(proc);
    const fs::path process = proc / "4242";
    fs::create_directories(process / "fd");
    fs::create_symlink(row.cwd, process / "cwd");
    fs::create_symlink("/", process / "root");
    fs::create_symlink("/usr/bin/true", process / "exe");
    fs::create_symlink(row.fd, process / "fd" / "3");
    std::ofstream(process / "maps") << row.maps;
    std::ofstream(process / "comm") << "editor\n";
    const auto users = FolderInUseProbe::procScanner(proc).scan(at);
    ASSERT_EQ(users.size(), row.used ? 1u : 0u);
    if (row.used) {
      EXPECT_EQ(describeInUse(users), "editor (pid 4242)");
    }
  }
}

}  // namespace
}  // namespace brimvale
