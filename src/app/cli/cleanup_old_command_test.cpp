#include "app/cli/cleanup_old_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

void put(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// Two relocated folders with their originals parked: "Same" has a copy that
// matches byte for byte; "Bent" has a copy with one byte changed, same size
// and date, which only a byte comparison can tell.
struct Scene {
  brimvale::testing::TempFolder root{"bv-cleanup"};
  StatePaths paths = StatePaths::forHome(root.folder("home"));
  std::ostringstream out, err;
  std::istringstream in;

  Scene() {
    fs::create_directories(paths.state);
    relocate("Same", "every byte");
    relocate("Bent", "every bytE");
  }
  void relocate(const std::string& name, const std::string& copyText) const {
    const fs::path parked = paths.home / (name + ".hollin-old");
    const fs::path copy = root / "drive/BRIM-Mac/Relocated" / name;
    put(parked / "f.txt", "every byte");
    put(copy / "f.txt", copyText);
    fs::last_write_time(copy / "f.txt", fs::last_write_time(parked / "f.txt"));
    fs::create_directory_symlink(copy, paths.home / name);
  }
  [[nodiscard]] bool parkedThere(const std::string& name) const {
    return fs::exists(paths.home / (name + ".hollin-old" + "/f.txt"));
  }
  int run(CleanupOldOptions options, bool terminal, const std::string& answer = "") {
    in.str(answer);
    CleanupOldHost host{paths, out, err, in, terminal};
    return cleanupOldCommand(host, options);
  }
};

TEST(CleanupOld, DeletesOnlyWhatIsVerifiedAndOnlyWhenTold) {
  struct Case {
    const char* name;
    CleanupOldOptions options;
    bool terminal;
    std::string answer;
    int status;
    bool sameDeleted;
  };
  const Case cases[] = {
      {"no terminal, no --yes: refused", {}, false, "", 1, false},
      {"dry run", {.yes = true, .dryRun = true}, false, "", 0, false},
      {"asked, declined", {}, true, "n\n", 1, false},
      {"--yes", {.yes = true}, false, "", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene s;
    EXPECT_EQ(s.run(c.options, c.terminal, c.answer), c.status) << s.out.str() << s.err.str();
    EXPECT_EQ(s.parkedThere("Same"), !c.sameDeleted);
    EXPECT_TRUE(s.parkedThere("Bent")) << "a copy that differs keeps its original";
    EXPECT_EQ(readFile(s.paths.home / "Bent.hollin-old/f.txt").value_or(""), "every byte");
    EXPECT_EQ(readFile(s.paths.home / "Same/f.txt").value_or(""), "every byte");
  }
}

}  // namespace
}  // namespace brimvale::app
