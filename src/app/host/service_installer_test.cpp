#include "app/host/service_installer.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "app/core/user_docs.h"
#include "app/host/bundled_programs.h"
#include "common/base/file_io.h"
#include "common/state/service_config.h"
#include "testing/installer_sandbox.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using platform::testing::FakeServices;

struct Rig : brimvale::testing::InstallerSandbox {
  std::vector<std::string> said;
  ServiceInstaller installer{
      paths, {scripts, "/usr/bin/rsync", ""}, services, [this](const std::string& l) {
        said.push_back(l);
      }};

  Rig()
      : InstallerSandbox("home of O'Brien", "service-definition",
                         "#!/bin/sh\necho \"service got: $*\"\n") {
    dir.file("Scripts/rclone-helper", "#!/bin/sh\n");
  }
  bool saidLine(const std::string& line) const {
    return std::find(said.begin(), said.end(), line) != said.end();
  }
};

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

// A fresh install creates everything private and starts the service; a
// second one replaces the programs but keeps the configuration.
TEST(ServiceInstaller, FreshInstallStartsTheServiceAndASecondKeepsTheConfiguration) {
  Rig rig;
  ASSERT_TRUE(rig.installer.install());
  EXPECT_EQ(modeOf(rig.paths.root), 0700u);
  EXPECT_EQ(modeOf(rig.paths.state), 0700u);
  EXPECT_EQ(modeOf(rig.paths.serviceProgram), 0700u);
  EXPECT_EQ(modeOf(rig.paths.root / "rclone-helper"), 0700u);
  EXPECT_EQ(modeOf(rig.paths.config), 0600u);
  EXPECT_EQ(*readFile(rig.paths.config), configTemplate());
  EXPECT_EQ(rig.services.calls, (std::vector<std::string>{"write", "unload", "load", "kickstart"}));
  EXPECT_EQ(rig.services.written.programArguments,
            (std::vector<std::string>{rig.paths.serviceProgram.string(), "watch"}));
  EXPECT_EQ(rig.services.written.logFile, rig.paths.root / "brim-vale.launchd.log");
  for (const char* line : {"User service loaded + kickstarted; watch loop will tick within 30s.",
                           "✓ Install complete."}) {
    EXPECT_TRUE(rig.saidLine(line)) << line;
  }
  EXPECT_TRUE(rig.saidLine("Copying brim-vale → " + rig.paths.serviceProgram.string()));
  // Only a configuration without a drive asks for one (Linux; a Mac assumes /Volumes/NVMe).
  const bool templateHasDrive =
      ServiceConfig::fromValues(parseConfig(configTemplate(), rig.home.string()), "").hasDrive();
  EXPECT_EQ(rig.saidLine(std::string(kChooseDriveNext)), !templateHasDrive);

  // The shim runs the installed service with its arguments unchanged, even
  // from a home whose path holds a quote and a space.
  const fs::path shim = rig.home / ".local/bin/brvl";
  EXPECT_EQ(modeOf(shim), 0700u);
  ProcessResult r = runProcess({.path = shim.string(), .args = {"status", "two words"}});
  EXPECT_EQ(r.out, "service got: status two words\n");

  // A second install replaces the programs but keeps the configuration.
  ASSERT_TRUE(writeFileAtomically(rig.paths.config, "NVMe=\"/Volumes/Mine\"\n"));
  rig.dir.file("Scripts/brim-vale", "#!/bin/sh\necho new\n");
  ASSERT_TRUE(rig.installer.install());
  EXPECT_EQ(*readFile(rig.paths.config), "NVMe=\"/Volumes/Mine\"\n");
  EXPECT_EQ(*readFile(rig.paths.serviceProgram), "#!/bin/sh\necho new\n");
}

// The numbered programs the build writes into Scripts are the ones the
// installer copies: each arrives runnable, and none is reported missing.
TEST(ServiceInstaller, CopiesEveryBundledProgramWithoutAWarning) {
  Rig rig;
  for (const auto& program : kBundledPrograms) {
    rig.dir.file("Scripts" / fs::path(program.file),
                 bundledProgramScript(program, "/opt/Brimvale/brimvale"));
  }
  ASSERT_TRUE(rig.installer.install());
  for (const auto& program : kBundledPrograms) {
    SCOPED_TRACE(std::string(program.file));
    EXPECT_EQ(modeOf(rig.paths.root / program.file), 0700u);
    EXPECT_FALSE(rig.saidLine("⚠ Optional bundled script missing: " + std::string(program.file)));
  }
}

// Man pages and completion go where man, bash and zsh look in the home; a
// build without some of them still installs, naming each one missing.
TEST(ServiceInstaller, InstallPutsManPagesAndCompletionInTheHomesShareFolder) {
  Rig rig;
  for (const auto& file : userDocFiles("brimvale")) {
    rig.dir.file("Scripts/share" / file.relative, "text of " + file.relative.string());
  }
  ASSERT_TRUE(rig.installer.install());
  for (std::string_view program : kDocumentedPrograms) {
    for (const auto& file : userDocFiles(program)) {
      SCOPED_TRACE(file.relative.string());
      const fs::path target = rig.home / ".local/share" / file.relative;
      if (program == "brimvale") {
        EXPECT_EQ(readFile(target).value_or(""), "text of " + file.relative.string());
      } else {
        EXPECT_FALSE(fs::exists(target));
        EXPECT_TRUE(
            rig.saidLine("⚠ Optional bundled file missing: share/" + file.relative.string()));
      }
    }
  }
  EXPECT_TRUE(rig.saidLine("✓ Install complete."));
}

// The optional programs that are missing are named together on one line,
// and the line goes once they are all there.
TEST(ServiceInstaller, MissingOptionalProgramsAreNamedOnOneLine) {
  struct Case {
    const char* name;
    std::vector<std::string_view> present;
    const char* line;  // nullptr: no such line at all
  } cases[] = {
      {"only the service",
       {},
       "⚠ Optional bundled scripts missing (the service works without them): rclone-helper, "
       "0-preflight.sh, 1-discover.sh, 2-prep-nvme.sh, 3-relocate.sh, 4-cleanup-old.sh, "
       "6-panic-recovery.sh"},
      {"two present",
       {"rclone-helper", "3-relocate.sh"},
       "⚠ Optional bundled scripts missing (the service works without them): 0-preflight.sh, "
       "1-discover.sh, 2-prep-nvme.sh, 4-cleanup-old.sh, 6-panic-recovery.sh"},
      {"all present", {kServicePrograms.begin() + 1, kServicePrograms.end()}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    fs::remove(rig.scripts / "rclone-helper");
    for (std::string_view name : c.present)
      rig.dir.file("Scripts/" + std::string(name), "#!/bin/sh\n");
    ASSERT_TRUE(rig.installer.install());
    const auto warnings = std::count_if(rig.said.begin(), rig.said.end(), [](const auto& l) {
      return l.find("Optional bundled script") != std::string::npos;
    });
    EXPECT_EQ(warnings, c.line ? 1 : 0);
    if (c.line) {
      EXPECT_TRUE(rig.saidLine(c.line));
    }
  }
}

// Given no user service manager to look after it, a one-shot install puts
// the files and the definition down and starts nothing.
TEST(ServiceInstaller, WithoutAManagerToKeepItTheServiceIsNotStarted) {
  Rig rig;
  rig.services.managed = false;
  ASSERT_TRUE(rig.installer.install());
  EXPECT_EQ(rig.services.calls, std::vector<std::string>{"write"});
  EXPECT_FALSE(rig.services.pid);
  EXPECT_TRUE(rig.installer.isInstalled());
  EXPECT_TRUE(rig.saidLine(std::string(kFilesOnlyInstall)));
  EXPECT_EQ(rig.said.back(), "✓ Install complete.");
}

// Uninstalling removes what installedFiles() names, so it must name every
// file the installation writes outside the user's configuration and state.
TEST(ServiceInstaller, InstalledFilesNameEverythingTheInstallationPutsDown) {
  Rig rig;
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
}

TEST(ServiceInstaller, BundledConfigurationIsUsedForAFreshInstall) {
  Rig rig;
  rig.dir.file("Scripts/brim-vale.conf", "NVMe=\"/Volumes/Bundled\"\n");
  ASSERT_TRUE(rig.installer.install());
  EXPECT_EQ(*readFile(rig.paths.config), "NVMe=\"/Volumes/Bundled\"\n");
  EXPECT_FALSE(rig.saidLine(std::string(kChooseDriveNext)));
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
    Rig rig;
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

TEST(ServiceInstaller, FailedKickstartStillInstalls) {
  Rig rig;
  rig.services.kickstartFails = true;
  ASSERT_TRUE(rig.installer.install());
  EXPECT_TRUE(rig.saidLine("⚠ systemctl --user restart brimvale-service returned 37"));
  EXPECT_TRUE(rig.saidLine("User service loaded; SelfHealAudit will retry kickstart."));
  EXPECT_EQ(rig.said.back(), "✓ Install complete.");
}

TEST(ServiceInstaller, MigratesALegacyInstallation) {
  Rig rig;
  fs::remove_all(rig.home);
  rig.dir.file("home of O'Brien/.hollin/tarnwick.conf", "NVMe=\"/Volumes/Old\"\n");
  rig.dir.file("home of O'Brien/.hollin/tarnwick.log", "old log\n");
  rig.dir.file("home of O'Brien/Library/LaunchAgents/com.hollin.tarnwick.plist", "<plist/>");
  ASSERT_TRUE(rig.installer.install());
  EXPECT_FALSE(fs::exists(rig.home / ".hollin"));
  EXPECT_EQ(*readFile(rig.paths.config), "NVMe=\"/Volumes/Old\"\n");
  EXPECT_EQ(*readFile(rig.paths.log), "old log\n");
  EXPECT_FALSE(fs::exists(rig.home / "Library/LaunchAgents/com.hollin.tarnwick.plist"));
  EXPECT_EQ(rig.said[0], "Migrating legacy ~/.hollin → ~/.brimvale");
  EXPECT_TRUE(rig.saidLine("  unloaded legacy: com.hollin.tarnwick.plist"));
}

// Given legacy files that others could read, then each migrated file gets
// the mode a fresh installation gives it.
TEST(ServiceInstaller, MigratedLegacyFilesBecomePrivate) {
  struct Case {
    const char* legacy;
    const char* migrated;
    mode_t mode;
  } cases[] = {
      {"tarnwick.conf", "brim-vale.conf", 0600},
      {"tarnwick.log", "brim-vale.log", 0600},
      {"tarnwick.actions.tsv", "brim-vale.actions.tsv", 0600},
      {"tarnwick.launchd.log", "brim-vale.launchd.log", 0600},
      {"tarnwick", "brim-vale", 0700},
  };
  Rig rig;
  for (const auto& c : cases) {
    const fs::path legacy = rig.dir.file(fs::path("home of O'Brien/.hollin") / c.legacy, "old\n");
    fs::permissions(legacy, fs::perms(0755));
  }
  rig.installer.migrateLegacy();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.migrated);
    ASSERT_TRUE(fs::exists(rig.paths.root / c.migrated));
    EXPECT_EQ(modeOf(rig.paths.root / c.migrated), c.mode);
  }
}

TEST(ServiceInstaller, TheStartServiceSentenceNamesThisPlatformsDefinition) {
  struct Case {
    const char* definition;
    const char* named;
  } cases[] = {
      {"/Users/ann/Library/LaunchAgents/com.brimvale.service.plist",
       "~/Library/LaunchAgents/com.brimvale.service.plist"},
      {"/Users/ann/.config/systemd/user/brimvale-service.service",
       "~/.config/systemd/user/brimvale-service.service"},
      {"/Users/ann/.brimvale/state/service-definition.json",
       "~/.brimvale/state/service-definition.json"},
      {"/Users/annabel/x.json", "/Users/annabel/x.json"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.definition);
    EXPECT_EQ(serviceDidNotLoadMessage(c.definition, "/Users/ann"),
              std::string("Service didn't load within 10 seconds. Try again, or check ") + c.named +
                  " permissions in Terminal.");
  }
}

TEST(ServiceInstaller, StartRewritesAnOutdatedDefinitionAndQuitGivesUpAfterFiveSeconds) {
  Rig rig;
  ASSERT_TRUE(rig.installer.install());
  rig.services.calls.clear();
  rig.services.outdated = true;
  rig.installer.startService();
  EXPECT_EQ(rig.services.calls, (std::vector<std::string>{"write", "unload", "load", "kickstart"}));
  EXPECT_TRUE(rig.saidLine("migrating user service definition to app-centric lifecycle"));
  EXPECT_TRUE(rig.saidLine("refreshed 2 service scripts from " + rig.scripts.string()));
  EXPECT_EQ(rig.said.back(), "daemon loaded + kickstarted pre-splash (app-centric lifecycle)");

  rig.services.unloadHangs = true;
  rig.installer.stopService();
  EXPECT_EQ(rig.services.lastUnloadLimit, std::chrono::seconds(5));
  EXPECT_EQ(rig.said.back(), "launchctl unload did not return within 5 s; leaving for OS to reap");
}

TEST(ServiceInstaller, StartInstallsOnFirstRun) {
  Rig rig;
  rig.installer.startService();
  EXPECT_TRUE(rig.installer.isInstalled());
  EXPECT_EQ(rig.said.back(), "✓ Install complete.");
}

}  // namespace
}  // namespace brimvale::app
