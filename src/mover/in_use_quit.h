// Asking the programs that hold a folder to quit before it is moved: which
// of them may be asked, the asking (SIGTERM, a program's graceful quit on
// Linux), the short wait, and who still holds the folder afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/base/folder_in_use.h"
#include "platform/platform.h"

namespace brimvale::mover {

// This program and its surroundings, which are never asked to quit.
struct QuitGuards {
  int ownPid = 0;
  int parentPid = 0;  // the shell or window that started this program
  std::uint32_t user = 0;
};
[[nodiscard]] QuitGuards quitGuardsOfThisProcess();

enum class QuitRefusal {
  kSystemProcess,  // pid 1 (or a pid that cannot be a program's)
  kThisProgram,    // this process or the one that started it
  kOtherUser,      // runs as another user
  kGone,           // ended before it could be asked
};
// Why `pid` must not be asked to quit, or nothing when it may be.
[[nodiscard]] std::optional<QuitRefusal> quitRefusal(
    int pid, const std::optional<platform::ProcessIdentity>& identity, const QuitGuards& guards);

// A process that was left alone, and why.
struct UnaskedProcess {
  std::string displayName;
  int pid = 0;
  QuitRefusal why = QuitRefusal::kGone;
};

struct QuitReport {
  std::vector<FolderInUseEntry> quit;        // asked, and gone from the folder
  std::vector<FolderInUseEntry> stillUsing;  // what the second probe found
  std::vector<UnaskedProcess> notAsked;      // kGone left out: it holds nothing
};

struct QuitSteps {
  std::function<std::vector<FolderInUseEntry>()> probe;  // the second look at the folder
  std::function<void(std::chrono::milliseconds)> sleep;
  std::chrono::milliseconds wait{1500};
};

// Sends SIGTERM to every process of `users` that may be asked, waits
// `steps.wait`, then probes again. Nothing is sent when none may be asked;
// the second probe runs anyway, since programs also quit by themselves.
[[nodiscard]] QuitReport quitFolderUsers(const std::vector<FolderInUseEntry>& users,
                                         platform::ProcessLauncher& launcher,
                                         const QuitGuards& guards, const QuitSteps& steps);

}  // namespace brimvale::mover
