#include "mover/in_use_quit.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace brimvale::mover {

QuitGuards quitGuardsOfThisProcess() {
  return QuitGuards{getpid(), getppid(), static_cast<std::uint32_t>(getuid())};
}

std::optional<QuitRefusal> quitRefusal(int pid,
                                       const std::optional<platform::ProcessIdentity>& identity,
                                       const QuitGuards& guards) {
  if (pid <= 1) return QuitRefusal::kSystemProcess;
  if (pid == guards.ownPid || pid == guards.parentPid) return QuitRefusal::kThisProgram;
  if (!identity) return QuitRefusal::kGone;
  if (identity->user != guards.user) return QuitRefusal::kOtherUser;
  return std::nullopt;
}

QuitReport quitFolderUsers(const std::vector<FolderInUseEntry>& users,
                           platform::ProcessLauncher& launcher, const QuitGuards& guards,
                           const QuitSteps& steps) {
  QuitReport report;
  std::vector<const FolderInUseEntry*> asked;
  for (const auto& entry : users) {
    bool sent = false;
    for (int pid : entry.pids) {
      const auto why = quitRefusal(pid, pid > 1 ? launcher.identity(pid) : std::nullopt, guards);
      if (why) {
        if (*why != QuitRefusal::kGone) report.notAsked.push_back({entry.displayName, pid, *why});
        continue;
      }
      sent = launcher.signal(pid, SIGTERM) || sent;
    }
    if (sent) asked.push_back(&entry);
  }
  if (!asked.empty()) steps.sleep(steps.wait);
  report.stillUsing = steps.probe();
  std::set<int> holding;
  for (const auto& entry : report.stillUsing) holding.insert(entry.pids.begin(), entry.pids.end());
  for (const FolderInUseEntry* entry : asked) {
    const bool gone = std::none_of(entry->pids.begin(), entry->pids.end(),
                                   [&](int pid) { return holding.contains(pid); });
    if (gone) report.quit.push_back(*entry);
  }
  return report;
}

}  // namespace brimvale::mover
