// What every `brimvale` subcommand works with, built once per invocation: the
// state paths, this computer's platform and the output streams. Each
// command's own options live in the command's file.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "app/host/service_installer.h"
#include "common/state/paths.h"
#include "platform/app_platform.h"
#include "platform/platform.h"
#include "snapshots/snapshot_manager.h"

namespace brimvale::app {

// The time limit of one service command, unless --timeout says otherwise.
inline constexpr int kDefaultServiceLimitSecs = 120;

struct CommandContext {
  StatePaths paths = StatePaths::forHome(homeFolder());
  platform::Platform base = platform::makeHostPlatform();
  platform::AppPlatform host;  // built once the subcommand is known
  std::filesystem::path scripts;
  std::string snapshotTool = snapshots::defaultSnapshotToolPath();
  std::ostream& out;
  std::ostream& err;
  // The command line after the program's name, as given: repeated in hints.
  std::vector<std::string> words;

  CommandContext(std::ostream& o, std::ostream& e) : out(o), err(e) {}

  // The installer's options: the scripts folder and the GNU rsync it hands the service.
  [[nodiscard]] InstallerOptions installerOptions() const;
};

}  // namespace brimvale::app
