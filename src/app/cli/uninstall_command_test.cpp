#include "app/cli/uninstall_command.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "app/core/user_docs.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "mover/safety_checks.h"
#include "testing/platform/installer_sandbox.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

enum class Relocated { kNothing, kOneFolder };

// The service, the shim and the two program links, two manual pages and six completions, the
// definition: the bundle below holds none of the optional programs.
constexpr int kPutDown = 13;

// An installation made by the real installer into a sandbox home, with man
// pages and completion, and optionally a folder the service relocated.
struct Rig : brimvale::testing::InstallerSandbox {
  ServiceInstaller installer{paths,
                             {scripts, "/usr/bin/rsync", "", runProcess, dir / "app/brimvale"},
                             services,
                             [](auto&) {}};
  std::istringstream answer;
  std::ostringstream out, err;
  std::function<int()> bringHome;
  // Where the service relocated ~/Videos to.
  fs::path copy = workingFolderFor(home / "drive", "Test Mac") / "Relocated/Videos";

  explicit Rig(Relocated relocated)
      : InstallerSandbox("home", "service-definition", "#!/bin/sh\n") {
    for (std::string_view program : kDocumentedPrograms) {
      for (const auto& file : userDocFiles(program)) dir.file("Scripts/share" / file.relative, "d");
    }
    dir.file("app/brimvale", "#!/bin/sh\n");
    EXPECT_TRUE(installer.install());
    EXPECT_TRUE(writeFileAtomically(paths.config, "NVMe=\"" + (home / "drive").string() + "\"\n"));
    if (relocated == Relocated::kOneFolder) {
      fs::create_directories(copy);
      fs::create_directory_symlink(copy, home / "Videos");
    }
  }
  int uninstall(const UninstallOptions& options, bool interactive = false,
                const std::string& typed = "") {
    answer.str(typed);
    out.str("");
    err.str("");
    UninstallHost host{paths, installer, services, answer, interactive, out, err, {}};
    host.bringEverythingHome = bringHome;
    host.computerName = "Test Mac";
    return uninstallCommand(host, options);
  }
  int installedFilesLeft() const {
    int left = 0;
    for (const auto& file : installer.installedFiles()) left += fs::exists(file) ? 1 : 0;
    return left;
  }
};

enum class Outcome { kUninstalled, kPurged, kUnchanged };

TEST(Uninstall, RemovesWhatWasInstalledOnlyWhenAllowedTo) {
  struct Case {
    const char* name;
    Relocated relocated;
    UninstallOptions options;
    bool interactive;
    const char* typed;
    int code;
    Outcome outcome;
    const char* says;  // a sentence the output (out + err) holds
  } cases[] = {
      {"--yes",
       Relocated::kNothing,
       {.yes = true},
       false,
       "",
       0,
       Outcome::kUninstalled,
       "✓ Brimvale is uninstalled.\n"},
      {"no typed on a terminal",
       Relocated::kNothing,
       {},
       true,
       "n\n",
       1,
       Outcome::kUnchanged,
       "Go ahead? [y/N] Nothing was changed.\n"},
      {"nobody to ask: the plan only",
       Relocated::kNothing,
       {.purge = true},
       false,
       "",
       1,
       Outcome::kUnchanged,
       "there is no terminal here to ask on. Nothing was changed. Run it again from a terminal, "
       "or run `brimvale uninstall --purge --yes` to go ahead without being asked.\n"},
      {"a relocation stops it",
       Relocated::kOneFolder,
       {.yes = true},
       false,
       "",
       1,
       Outcome::kUnchanged,
       "bring everything home first with `brimvale panic-recovery`"},
      {"--leave-relocated goes on",
       Relocated::kOneFolder,
       {.yes = true, .leaveRelocated = true},
       false,
       "",
       0,
       Outcome::kUninstalled,
       "What is listed above stays on the drive; its links keep working while the drive is "
       "attached.\n"},
      {"--purge with a relocation always refuses",
       Relocated::kOneFolder,
       {.purge = true, .yes = true, .leaveRelocated = true},
       false,
       "",
       1,
       Outcome::kUnchanged,
       "--purge would delete the records that find these copies on the drive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.relocated);
    rig.services.pid = platform::testing::FakeServices::kRunningPid;
    const int code = rig.uninstall(c.options, c.interactive, c.typed);
    const std::string said = rig.out.str() + rig.err.str();
    EXPECT_EQ(code, c.code) << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    switch (c.outcome) {
      case Outcome::kUninstalled:
        EXPECT_EQ(rig.installedFilesLeft(), 0);
        EXPECT_EQ(*readFile(rig.paths.config), "NVMe=\"" + (rig.home / "drive").string() + "\"\n");
        EXPECT_FALSE(rig.services.pid);
        break;
      case Outcome::kPurged:
        EXPECT_EQ(rig.installedFilesLeft(), 0);
        EXPECT_FALSE(fs::exists(rig.paths.root));
        EXPECT_FALSE(rig.services.pid);
        break;
      case Outcome::kUnchanged:
        EXPECT_EQ(rig.installedFilesLeft(), kPutDown);
        EXPECT_TRUE(fs::exists(rig.paths.config));
        EXPECT_TRUE(rig.services.pid) << "the service was stopped";
        break;
    }
    // The relocated folder is never touched: its link and its data stay.
    if (c.relocated == Relocated::kOneFolder) {
      EXPECT_TRUE(fs::is_symlink(rig.home / "Videos"));
      EXPECT_TRUE(fs::is_directory(rig.copy));
    }
  }
}

// On a terminal the uninstall offers to bring relocations home first, and
// goes on only when all of them came home.
TEST(Uninstall, OffersToBringRelocationsHomeFirst) {
  enum class Homecoming { kAllHome, kFails, kNotAsked };
  struct Case {
    const char* name;
    const char* typed;
    Homecoming homecoming;
    int code;
    bool uninstalled;
    const char* says;
  } cases[] = {
      {"yes, yes: home, then uninstalled", "y\ny\n", Homecoming::kAllHome, 0, true,
       "✓ Brimvale is uninstalled.\n"},
      {"the homecoming fails", "y\n", Homecoming::kFails, 1, false,
       "Nothing was removed: not everything came home"},
      {"declined", "n\n", Homecoming::kNotAsked, 1, false,
       "or run `brimvale uninstall --leave-relocated`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(Relocated::kOneFolder);
    int calls = 0;
    rig.bringHome = [&] {
      ++calls;
      if (c.homecoming == Homecoming::kFails) return 1;
      fs::remove(rig.home / "Videos");
      fs::rename(rig.copy, rig.home / "Videos");
      return 0;
    };
    const int code = rig.uninstall({}, true, c.typed);
    const std::string said = rig.out.str() + rig.err.str();
    EXPECT_EQ(code, c.code) << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(calls, c.homecoming == Homecoming::kNotAsked ? 0 : 1);
    EXPECT_EQ(rig.installedFilesLeft(), c.uninstalled ? 0 : kPutDown);
    // Listed once, before the question.
    EXPECT_EQ(said.find("Still relocated"), said.rfind("Still relocated")) << said;
    // Whatever happened, the folder is reachable at its path.
    EXPECT_TRUE(fs::is_directory(rig.home / "Videos"));
  }
}

// A command of the same name that another program put into ~/.local/bin
// after the installation is not Brimvale's to remove.
TEST(Uninstall, LeavesAnotherProgramsCommandInPlace) {
  Rig rig(Relocated::kNothing);
  const fs::path other = rig.home / ".local/bin/brimvale";
  ASSERT_TRUE(removePath(other));
  ASSERT_TRUE(writeFileAtomically(other, "#!/bin/sh\necho other\n"));
  EXPECT_EQ(rig.uninstall({.yes = true}), 0) << rig.err.str();
  EXPECT_EQ(readFile(other).value_or(""), "#!/bin/sh\necho other\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(rig.home / ".local/bin/brim-vale")));
}

// While a folder move holds the relocator lock, nothing is removed: the
// move could be relocating a folder right now.
TEST(Uninstall, WaitsForAFolderMoveThatIsRunning) {
  Rig rig(Relocated::kNothing);
  mover::RelocatorLock moving(rig.paths.state);
  ASSERT_TRUE(moving.acquire(std::chrono::milliseconds(0)));
  EXPECT_EQ(rig.uninstall({.yes = true}), 1);
  EXPECT_NE(rig.err.str().find("Nothing was removed; run `brimvale uninstall` again once that "
                               "has finished.\n"),
            std::string::npos)
      << rig.err.str();
  EXPECT_EQ(rig.installedFilesLeft(), kPutDown);
}

}  // namespace
}  // namespace brimvale::app
