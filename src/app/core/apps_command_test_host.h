// Tests only: the `brimvale apps` host with every folder the listing and the
// classification read under one temporary folder, at a fixed time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>

#include "app/core/apps_command.h"
#include "apps/dock_pins.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app::testing {

inline constexpr std::int64_t kAppsTestNow = 1'800'000'000;

inline AppsCommandHost appsHostIn(const brimvale::testing::TempFolder& tmp,
                                  platform::BundleProbe& probe, std::ostream& out,
                                  std::ostream& err) {
  namespace fs = std::filesystem;
  const fs::path root = tmp / "root";
  return {.folders = apps::defaultAppFolders(tmp / "home", root),
          .factsCache = tmp / "state/app-facts.json",
          .diagnosticsLog = tmp / "diagnostics.log",
          .probe = probe,
          .isRunning = {},
          .classifier = {
              .updateFrameworks =
                  apps::UpdateFrameworkDetection({.adobeDesktopCommon = root / "adobe",
                                                  .microsoftAutoUpdate = root / "mau",
                                                  .caskrooms = {root / "Caskroom"},
                                                  .setappFolder = root / "Applications/Setapp"}),
              .helpers = apps::HelperToolScanner(
                  {{root / "Library/PrivilegedHelperTools", apps::HelperKind::kPrivilegedHelper},
                   {tmp / "home/Library/LaunchAgents", apps::HelperKind::kLaunchAgentUser}}),
              .userCanWrite = [](const fs::path&) { return true; },
              .now = [] { return apps::Clock::from_time_t(kAppsTestNow); }},
          .dockPreferences = apps::dockPreferencesPath(tmp / "home"),
          .toolFallback = {},
          .now = kAppsTestNow,
          .out = out,
          .err = err};
}

}  // namespace brimvale::app::testing
