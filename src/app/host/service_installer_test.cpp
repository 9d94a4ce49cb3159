#include "app/host/service_installer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "app/core/user_docs.h"
#include "common/base/file_io.h"
#include "testing/platform/installer_sandbox.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

struct InstallerRig : brimvale::testing::InstallerSandbox {
  std::vector<std::string> said;
  fs::path application = dir / "bundle" / "brimvale";
  fs::path bin = home / ".local" / "bin";
  ServiceInstaller installer;

  // The user's PATH holds ~/.local/bin (written with a trailing slash) or not.
  explicit InstallerRig(bool binOnPath = false)
      : InstallerSandbox("home of O'Brien", "service-definition",
                         "#!/bin/sh\necho \"service got: $*\"\n"),
        installer(paths,
                  {scripts, "/usr/bin/rsync", "", runProcess, application,
                   binOnPath ? "/usr/bin:" + bin.string() + "/" : "/usr/bin"},
                  services, [this](const std::string& l) { said.push_back(l); }) {
    dir.file("Scripts/rclone-helper", "#!/bin/sh\n");
    dir.file("bundle/brimvale", "#!/bin/sh\n");
  }
  [[nodiscard]] bool saidSomething(std::string_view part) const {
    return std::any_of(said.begin(), said.end(),
                       [part](const std::string& l) { return l.find(part) != l.npos; });
  }
};

// Uninstalling removes what installedFiles() names, so it must name every
// file the installation writes outside the user's configuration and state.
TEST(ServiceInstaller, InstalledFilesNameEverythingTheInstallationPutsDown) {
  InstallerRig rig;
  for (std::string_view program : kDocumentedPrograms) {
    for (const auto& file : userDocFiles(program))
      rig.dir.file("Scripts/share" / file.relative, "doc");
  }
  ASSERT_TRUE(rig.installer.install());
  const auto listed = rig.installer.installedFiles();
  std::set<fs::path> written;
  for (auto it = fs::recursive_directory_iterator(rig.home); it != fs::end(it); ++it) {
    if (!it->is_directory()) written.insert(it->path());
  }
  written.erase(rig.paths.config);
  for (const auto& file : written) {
    SCOPED_TRACE(file.string());
    EXPECT_NE(std::find(listed.begin(), listed.end(), file), listed.end());
  }
  // Programs missing from this bundle are listed too: an older installation may have put them down.
  EXPECT_EQ(listed.size(), written.size() + kServicePrograms.size() - 2);
  // The service program arrives whole, runnable by its owner alone.
  const fs::path service = rig.paths.root / "brim-vale";
  EXPECT_EQ(readFile(service).value_or(""), readFile(rig.scripts / "brim-vale").value_or("-"));
  EXPECT_EQ(fs::status(service).permissions() & fs::perms::all, fs::perms::owner_all);
}

// Given ~/.local/bin as the user left it, then install links both programs
// there, replaces an older installation's link, never another program's
// file, and says what to add to PATH only when the folder is not on it.
TEST(ServiceInstaller, PutsBothProgramsIntoTheUserBinFolder) {
  enum class Before { kNothing, kOlderLink, kOtherProgram };
  struct Case {
    const char* name;
    Before before;
    bool binOnPath;
  } cases[] = {
      {"fresh, folder not on PATH", Before::kNothing, false},
      {"an older installation's link", Before::kOlderLink, true},
      {"another program's brimvale", Before::kOtherProgram, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallerRig rig(c.binOnPath);
    fs::create_directories(rig.bin);
    if (c.before == Before::kOlderLink) {
      fs::create_symlink("/gone/build/brimvale", rig.bin / "brimvale");
    }
    if (c.before == Before::kOtherProgram) {
      ASSERT_TRUE(writeFileAtomically(rig.bin / "brimvale", "other"));
    }
    ASSERT_TRUE(rig.installer.install());

    EXPECT_EQ(fs::read_symlink(rig.bin / "brim-vale"), rig.paths.serviceProgram);
    if (c.before == Before::kOtherProgram) {
      EXPECT_EQ(readFile(rig.bin / "brimvale").value_or(""), "other");
      EXPECT_TRUE(rig.saidSomething("belongs to another program, so Brimvale left it as it is"));
    } else {
      EXPECT_EQ(fs::read_symlink(rig.bin / "brimvale"), rig.application);
      EXPECT_TRUE(rig.saidSomething(": brimvale, brim-vale and brvl."));
    }
    EXPECT_EQ(rig.saidSomething("is not on your PATH yet"), !c.binOnPath);
    EXPECT_TRUE(
        rig.saidSomething("To turn automatic actions off, run `brimvale settings "
                          "auto.enabled off`."));
    EXPECT_EQ(rig.said.back(), "✓ Install complete.");
  }
}

TEST(ServiceInstaller, FailuresSayWhatToDo) {
  struct Case {
    const char* name;
    bool removeScripts;
    bool removeService;
    bool loadFails;
    const char* finalLine;
  } cases[] = {
      {"no Scripts folder", true, false, false,
       "✗ Install failed: The app bundle is missing its Scripts folder. Reinstall the app from a "
       "fresh build."},
      {"no service program", false, true, false, nullptr},
      {"load fails", false, false, true,
       "✗ Install failed: launchctl could not load the service:\nno"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallerRig rig;
    if (c.removeScripts) fs::remove_all(rig.scripts);
    if (c.removeService) fs::remove(rig.scripts / "brim-vale");
    rig.services.loadFails = c.loadFails;
    EXPECT_FALSE(rig.installer.install());
    ASSERT_FALSE(rig.said.empty());
    EXPECT_TRUE(rig.said.back().starts_with("✗ Install failed: "));
    if (c.finalLine) {
      EXPECT_EQ(rig.said.back(), c.finalLine);
    }
  }
}

}  // namespace
}  // namespace brimvale::app
