// Where everything lives: the state directory under the home folder and the
// per-computer working folder on the drive.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace brimvale {

// Every file of the state directory `~/.brimvale` that more than one unit uses.
struct StatePaths {
  std::filesystem::path home;
  std::filesystem::path root;   // ~/.brimvale
  std::filesystem::path state;  // ~/.brimvale/state
  std::filesystem::path serviceProgram;
  std::filesystem::path config;
  std::filesystem::path log;
  // Failures that did not stop the work (see common/base/best_effort.h); both programs.
  std::filesystem::path diagnosticsLog;
  std::filesystem::path actions;
  std::filesystem::path statusJson;
  std::filesystem::path paused;
  std::filesystem::path lastAutoRun;
  std::filesystem::path lastBatch;
  std::filesystem::path notificationsQueue;
  std::filesystem::path meetingFlag;
  std::filesystem::path selfBackupDay;
  std::filesystem::path warnState;
  std::filesystem::path appMovesFolder;  // one record per app move, <id>.json
  // The drive-to-drive job: its store (the service's) and its JSON rendering
  // (read by the application and the mover).
  std::filesystem::path transferJobStore;
  std::filesystem::path transferJobJson;
  // Held by the drive-to-drive job's supervisor for as long as it (or its copy) runs.
  std::filesystem::path transferSupervisorLock;

  std::filesystem::path cloudJobs;  // the cloud transfer jobs, sync/jobs.json

  [[nodiscard]] static StatePaths forHome(const std::filesystem::path& home);
};

// The home folder from $HOME, falling back to the password database.
[[nodiscard]] std::filesystem::path homeFolder();

// "BRIM-" + the sanitised computer name. Both halves apply this rule byte for
// byte: drop one trailing ".local"; spaces become '-'; delete ' U+2019 and ";
// squeeze runs of '-'; drop one leading and one trailing '-'; empty -> "Mac".
// Other bytes (non-ASCII letters included) stay as they are.
[[nodiscard]] std::string workingFolderName(std::string_view computerName);

// {mount}/{workingFolderName}
[[nodiscard]] std::filesystem::path workingFolderFor(const std::filesystem::path& mount,
                                                     std::string_view computerName);

// The marker file that proves a folder is a managed working folder.
inline constexpr std::string_view kMarkerFileName = ".hollin-managed";

}  // namespace brimvale
