#include "app/host/service_installer.h"

#include <gtest/gtest.h>

#include <set>

#include "app/core/user_docs.h"
#include "testing/platform/installer_sandbox.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

struct InstallerRig : brimvale::testing::InstallerSandbox {
  std::vector<std::string> said;
  ServiceInstaller installer{
      paths, {scripts, "/usr/bin/rsync", "", runProcess}, services, [this](const std::string& l) {
        said.push_back(l);
      }};

  InstallerRig()
      : InstallerSandbox("home of O'Brien", "service-definition",
                         "#!/bin/sh\necho \"service got: $*\"\n") {
    dir.file("Scripts/rclone-helper", "#!/bin/sh\n");
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
