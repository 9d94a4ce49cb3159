#include "common/state/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "common/state/drive_transfer_job.h"

namespace brimvale {
namespace fs = std::filesystem;

StatePaths StatePaths::forHome(const fs::path& home) {
  StatePaths p;
  p.home = home;
  p.root = home / ".brimvale";
  p.state = p.root / "state";
  p.serviceProgram = p.root / "brim-vale";
  p.config = p.root / "brim-vale.conf";
  p.log = p.root / "brim-vale.log";
  p.diagnosticsLog = p.root / "diagnostics.log";
  p.actions = p.root / "brim-vale.actions.tsv";
  p.statusJson = p.state / "status.json";
  p.paused = p.state / "paused";
  p.lastAutoRun = p.state / "last-auto-run";
  p.lastBatch = p.state / "last-batch.tsv";
  p.notificationsQueue = p.state / "notifications.queue";
  p.meetingFlag = p.state / "meeting.flag";
  p.selfBackupDay = p.state / ".selfbackup_day";
  p.warnState = p.state / "warn-state";
  p.appMovesFolder = p.state / "app-moves";
  p.transferJobStore = p.state / kTransferJobStoreFile;
  p.transferJobJson = p.state / kTransferJobJsonFile;
  p.transferSupervisorLock = p.state / kTransferSupervisorLockFile;
  p.cloudJobs = p.root / "sync" / "jobs.json";
  return p;
}

fs::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string workingFolderName(std::string_view computerName) {
  std::string name(computerName);
  constexpr std::string_view kLocal = ".local";
  if (name.size() >= kLocal.size() && name.ends_with(kLocal))
    name.resize(name.size() - kLocal.size());

  std::string cleaned;
  constexpr std::string_view kRightQuote = "\xE2\x80\x99";
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (std::string_view(name).substr(i).starts_with(kRightQuote)) {
      i += kRightQuote.size() - 1;
      continue;
    }
    if (c == '\'' || c == '"') continue;
    if (c == ' ') c = '-';
    if (c == '-' && !cleaned.empty() && cleaned.back() == '-') continue;
    cleaned += c;
  }
  if (!cleaned.empty() && cleaned.front() == '-') cleaned.erase(0, 1);
  if (!cleaned.empty() && cleaned.back() == '-') cleaned.pop_back();
  if (cleaned.empty()) cleaned = "Mac";
  return "BRIM-" + cleaned;
}

fs::path workingFolderFor(const fs::path& mount, std::string_view computerName) {
  return mount / workingFolderName(computerName);
}

}  // namespace brimvale
