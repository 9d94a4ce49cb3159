// Tests only: what installing the service needs, in a temporary folder: a
// home, a folder holding the service program to install, and a fake service
// manager.
#pragma once

#include <filesystem>
#include <string>

#include "common/state/paths.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/fake_service_manager.h"

namespace brimvale::testing {

struct InstallerSandbox {
  // `serviceScript` becomes Scripts/brim-vale; the fake manager keeps its
  // service definition in home/`definitionName`.
  InstallerSandbox(const std::string& homeName, const std::string& definitionName,
                   const std::string& serviceScript)
      : home(dir / homeName), services(home / definitionName) {
    std::filesystem::create_directories(home);
    dir.file("Scripts/brim-vale", serviceScript);
  }

  TempFolder dir;
  std::filesystem::path home;
  std::filesystem::path scripts = dir / "Scripts";
  StatePaths paths = StatePaths::forHome(home);
  platform::testing::FakeServices services;
};

}  // namespace brimvale::testing
