// Installs the background service into ~/.brimvale from the program folder's
// "Scripts" (programs, configuration once, service definition), puts the
// commands brimvale, brim-vale and brvl into ~/.local/bin, and owns the
// service's lifetime: load and kickstart at start, unload at quit.
#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/process.h"
#include "common/state/paths.h"
#include "platform/notification_center.h"
#include "platform/service_manager.h"

namespace brimvale::app {

// Copied from the Scripts folder in this order; only brim-vale is required.
// The numbered ones are shell scripts, named as the service's messages name them.
inline constexpr std::array<std::string_view, 8> kServicePrograms{
    "brim-vale",      "rclone-helper", "0-preflight.sh",   "1-discover.sh",
    "2-prep-nvme.sh", "3-relocate.sh", "4-cleanup-old.sh", "6-panic-recovery.sh"};

inline constexpr std::chrono::seconds kQuitUnloadLimit{5};

// Said after writing a fresh configuration that names no drive (Linux).
inline constexpr std::string_view kChooseDriveNext =
    "Next, choose the drive: `brimvale drives` lists the drives you can use and `brimvale drives "
    "select PATH` takes one.";
// Said by an installation where no user service manager would look after a
// started service, so it only puts the files down.
inline constexpr std::string_view kFilesOnlyInstall =
    "No user service manager runs here, so the background service was not started: Brimvale's "
    "application owns it (`brimvale run` starts it and stops it when it ends).";

struct InstallerOptions {
  std::filesystem::path scriptsFolder;  // the program folder's Scripts
  std::string rsyncPath;                // resolved GNU rsync; empty when none
  std::string launchctl;                // unloads legacy agents; empty: none to unload
  ProcessRunner run;                    // how launchctl and the service program run
  std::filesystem::path application;  // this program, linked as ~/.local/bin/brimvale; empty: none
  std::string searchPath;             // the user's PATH, to say whether ~/.local/bin is on it
};

// The commands an installation puts into ~/.local/bin.
inline constexpr std::array<std::string_view, 3> kUserCommands{"brimvale", "brim-vale", "brvl"};

class ServiceInstaller {
 public:
  // `say` receives every progress line of the installer and the lifecycle.
  ServiceInstaller(StatePaths paths, InstallerOptions options, platform::ServiceManager& services,
                   platform::LogSink say);

  // The whole installation; says "✓ Install complete." or "✗ Install failed:
  // {sentence}" at the end. Errors carry the sentence as detail. Where the
  // service manager would not keep a started service managed, it installs the
  // files and the definition only and starts nothing.
  [[nodiscard]] Result<void> install();

  // Before anything else at application start: refreshes the programs,
  // rewrites an outdated definition (and reloads it), loads and kickstarts.
  // Performs the installation instead when the service is not installed.
  // Failures are logged and left to the self-check.
  void startService();
  // At quit: unloads, waiting at most kQuitUnloadLimit.
  void stopService();

  // True when the service program and its definition are both in place.
  [[nodiscard]] bool isInstalled() const;
  [[nodiscard]] platform::ServiceDefinition definition() const;
  // Every file install() puts down, for uninstalling: the service programs,
  // the commands in ~/.local/bin that are still Brimvale's (another
  // program's file of the same name is not listed), the manual pages and
  // completion, the service definition. The configuration and the state are
  // the user's and are not listed.
  [[nodiscard]] std::vector<std::filesystem::path> installedFiles() const;
  [[nodiscard]] const ProcessRunner& runner() const { return options_.run; }

  // Steps of install(), public for the self-check's repairs.
  void migrateLegacy();
  // Copies every present program; Errc::kNotFound when the Scripts folder or
  // brim-vale is missing. Gives the number copied.
  [[nodiscard]] Result<int> copyServicePrograms();
  [[nodiscard]] Result<void> loadAndKickstart();

 private:
  [[nodiscard]] Result<void> installSteps();
  [[nodiscard]] Result<void> writeShim();
  // Links brimvale and brim-vale into ~/.local/bin, leaving another
  // program's file of either name alone; gives the commands that are there.
  [[nodiscard]] Result<std::vector<std::string>> linkUserCommands();
  [[nodiscard]] Result<void> installUserDocs();
  // The closing words: where the commands are, and what runs automatically.
  void sayWhatIsReady(const std::vector<std::string>& commands);
  [[nodiscard]] std::filesystem::path userBinFolder() const;
  [[nodiscard]] std::filesystem::path shimPath() const;
  [[nodiscard]] std::filesystem::path userDocsFolder() const;

  StatePaths paths_;
  InstallerOptions options_;
  platform::ServiceManager& services_;
  platform::LogSink say_;
};

// Whether `entry` in ~/.local/bin is one an installation put there: a link
// to a program of its own name (brimvale, brim-vale), or the brvl shim.
// Anything else there belongs to another program and is never replaced or
// removed.
[[nodiscard]] bool isBrimvaleUserCommand(const std::filesystem::path& entry);

// The `brvl` shim: a POSIX shell script that runs `program` (single-quoted,
// so any path is safe) with all of its own arguments.
[[nodiscard]] std::string shimScript(const std::filesystem::path& program);

// The start-service prompt's failure after 10 seconds, naming the service
// definition this platform uses, with the home folder written as "~".
[[nodiscard]] std::string serviceDidNotLoadMessage(const std::filesystem::path& definition,
                                                   const std::filesystem::path& home);

}  // namespace brimvale::app
