#include "common/state/gnu_rsync.h"
#include "testing/temp_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace brimvale {
namespace {
namespace fs = std::filesystem;

TEST(GnuRsync, RecognisesVersionLines) {
  struct Case {
    std::string line;
    bool gnu;
  };
  const std::vector<Case> cases = {
      {"rsync  version 3.2.7  protocol version 31", true},
      {"rsync  version 2.6.9  protocol version 29", false},
      {"openrsync: protocol version 29", false},
      {"rsync  version 30.1", false},
      {"rsync  version v3.4.1", false},
      {"version 3.2.7 of rsync", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(isGnuRsyncVersionLine(c.line), c.gnu);
  }
}

// Stand-in programs whose --version output we control.
class StandIns {
 public:
  std::string script(const std::string& name, const std::string& body,
                     fs::perms perms = fs::perms::owner_all) const {
    fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, perms);
    return path.string();
  }
  const fs::path& dir() const { return dir_.path(); }

 private:
  brimvale::testing::TempFolder dir_{"rsync stand-ins"};
};

TEST(GnuRsync, QualifiesOnlyARunnableGnuRsync) {
  StandIns s;
  const std::string gnuBody = "echo 'rsync  version 3.2.7  protocol version 31'";
  struct Case {
    std::string name;
    std::string path;
    bool qualifies;
  };
  const std::vector<Case> cases = {
      {"gnu", s.script("gnu rsync", gnuBody), true},
      {"openrsync", s.script("openrsync", "echo 'openrsync: protocol version 29'"), false},
      {"not executable", s.script("plain", gnuBody, fs::perms::owner_read | fs::perms::owner_write),
       false},
      {"version on the second line", s.script("late", "echo 'usage: rsync'\n" + gnuBody), false},
      {"killed while answering", s.script("dies", gnuBody + "\nkill -9 $$"), false},
      {"a folder", s.dir().string(), false},
      {"missing", (s.dir() / "absent").string(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(qualifiesAsGnuRsync(c.path), c.qualifies);
  }
}

}  // namespace
}  // namespace brimvale
