#include "app/core/autosync_command.h"

#include "app/core/json_output.h"

#include <map>
#include <system_error>

#include <nlohmann/json.hpp>

#include "app/core/short_id.h"
#include "cloud/auto_sync_manager.h"
#include "cloud/auto_sync_mover.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/configured_drive.h"
#include "common/state/paths.h"
#include "mover/move_cancel.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using cloud::AutoSyncPolicy;
using nlohmann::json;

std::string counted(std::int64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + std::string(n == 1 ? one : many);
}

// Both empty while no drive is known: then no folder is a destination and
// nothing is taken.
struct DrivePlace {
  fs::path mount;
  fs::path working;
};

DrivePlace drivePlace(const MoverCommandContext& c) {
  auto mount = configuredDrive(c.paths);
  if (!mount) return {};
  return {*mount, workingFolderFor(*mount, c.computerName)};
}

cloud::AutoSyncSettings settingsFor(AutoSyncCommandContext& c,
                                    transfers::BackgroundJobsStore* ledger) {
  const DrivePlace drive = drivePlace(c.mover);
  cloud::AutoSyncSettings s;
  s.stateDir = c.mover.paths.state;
  s.diagnosticsLog = c.mover.paths.diagnosticsLog;
  s.roots = {c.mover.paths.home,
             drive.working.empty() ? fs::path() : cloud::destinationRootFor(drive.working)};
  // A drive that is away leaves its empty mount point behind; only a mounted
  // volume with this computer's working folder on it takes files.
  s.driveMounted = [mounts = c.mover.mounts, drive] {
    std::error_code ec;
    if (drive.mount.empty()) return false;
    if (mounts && !mounts->isMountedAt(drive.mount.string())) return false;
    return fs::is_directory(drive.working, ec);
  };
  s.isOpen = c.isOpen;
  s.ledger = ledger;
  s.log = c.log;
  return s;
}

// The policy whose id starts with `prefix` (any case); none when no policy or
// more than one does.
const AutoSyncPolicy* policyWithPrefix(const std::vector<AutoSyncPolicy>& policies,
                                       const std::string& prefix) {
  const std::string upper = asciiUpper(prefix);
  const AutoSyncPolicy* found = nullptr;
  for (const auto& policy : policies) {
    if (upper.empty() || !policy.id.starts_with(upper)) continue;
    if (found) return nullptr;
    found = &policy;
  }
  return found;
}

int listPolicies(AutoSyncCommandContext& c, const AutoSyncOptions& o) {
  cloud::AutoSyncManager manager(settingsFor(c, nullptr));
  const auto policies = manager.policies();
  auto& out = c.mover.out;
  if (o.json) {
    json list = json::array();
    for (const auto& policy : policies) list.push_back(cloud::policyToJson(policy));
    out << versionedText(list);
    return 0;
  }
  if (policies.empty()) {
    out << "No folder is watched yet. Add one with: brimvale autosync add FOLDER DEST_PARENT\n";
    return 0;
  }
  for (const auto& policy : policies) {
    out << autoSyncListLine(policy) << "\n";
    if (!policy.excludePatterns.empty()) {
      out << "    leaves out:";
      for (const auto& pattern : policy.excludePatterns) out << " " << pattern;
      out << "\n";
    }
  }
  return 0;
}

int addPolicy(AutoSyncCommandContext& c, const AutoSyncOptions& o) {
  auto& err = c.mover.err;
  if (o.words.size() != 2) {
    err << "Give the folder to watch and the folder on your fast drive that receives its files: "
           "brimvale autosync add FOLDER DEST_PARENT. Nothing was changed.\n";
    return 2;
  }
  std::error_code ec;
  if (!fs::is_directory(o.words[0], ec)) {
    err << "There is no folder at " << o.words[0]
        << ", so there is nothing to watch. Nothing was changed.\n";
    return 1;
  }
  transfers::BackgroundJobsStore ledger(c.mover.paths.state, systemClock());
  cloud::AutoSyncManager manager(settingsFor(c, &ledger));
  auto policy = manager.registerPolicy(o.words[0], o.words[1], o.excludes);
  if (!policy) {
    err << policy.error() << "\n";
    return 1;
  }
  c.mover.out << "Watching " << policy->internalPath << " (id " << shortId(policy->id)
              << "): files left unchanged for 10 minutes move to " << policy->nvmeDestParent
              << " on your fast drive, leaving a link at their old place. Brimvale checks every "
                 "minute while it runs; `brimvale autosync scan "
              << shortId(policy->id) << "` checks now.\n";
  return 0;
}

// Runs one policy now and follows its moves until they settle.
int scanNow(AutoSyncCommandContext& c, const AutoSyncPolicy& policy) {
  MoverCommandContext& mc = c.mover;
  const Verdict verdict =
      decide(mc.confirm, "Move each file in " + policy.internalPath +
                             " left unchanged for 10 minutes to " + policy.nvmeDestParent +
                             " on your fast drive, leaving a link at its old place.");
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  mover::RelocatorLock lock(mc.paths.state);
  if (auto locked = lock.acquire(std::chrono::milliseconds(0)); !locked) {
    mc.err << locked.error().detail
           << " Nothing was moved and your files are untouched; try again once that has "
              "finished.\n";
    return 1;
  }
  RunLoop loop;
  MoverHost host(mc.paths, mc.host.defaults.get(), mc.computerName, loop, mc.run, mc.mounts,
                 std::nullopt, {}, mc.snapshotTool);
  auto& m = host.mover();
  if (mc.launcher) m.setOwner(mover::thisProcessOwner(*mc.launcher));
  transfers::BackgroundJobsStore ledger(mc.paths.state, systemClock());
  cloud::AutoSyncSettings settings = settingsFor(c, &ledger);
  settings.queueCopy = cloud::queueThroughMover(m);
  cloud::AutoSyncManager manager(std::move(settings));
  cloud::AutoSyncMoveWatcher watcher(manager);
  MoveProgressPrinter printer(mc.out, mc.output);
  // Each auto-sync move's latest phase, to say at the end what became of it.
  std::map<std::string, mover::MovePhase> moves;
  // Moves that ended before this scan were counted when they ended; reading
  // their records back must not count them again.
  bool readingBack = true;
  host.setOnChange([&](const mover::MoveManifest& job) {
    if (readingBack && mover::isTerminal(job.phase)) return;
    watcher.moveChanged(job);
    printer.phaseChanged(job);
    if (job.triggerSource == mover::MoveTriggerSource::kAutoSync) moves[job.id] = job.phase;
    if (job.phase == mover::MovePhase::kCopying) return;
    loop.post([&loop, &host] {
      if (host.mover().idle()) loop.stop();
    });
  });
  // Other records are read first, so a file of an unfinished move is not queued twice.
  m.setPaused(true);
  m.reload();
  readingBack = false;
  const auto run = manager.runNow(policy.id);
  if (!run) {
    mc.err << "That watched folder was removed meanwhile. Nothing was moved.\n";
    return 1;
  }
  mc.out << run->summary << "\n";
  if (run->summary == cloud::kDriveMissingSummary) {
    mc.out << "Your files are untouched; connect the drive and scan again.\n";
    return 1;
  }
  m.setPaused(false);
  if (int signal = runUntilSettled(loop, host, printer)) {
    return stopMoves(mc, loop, host, printer, signal);
  }
  std::int64_t moved = 0, failed = 0, waiting = 0;
  for (const auto& [id, phase] : moves) {
    if (phase == mover::MovePhase::kDone) {
      ++moved;
    } else if (phase == mover::MovePhase::kFailed || phase == mover::MovePhase::kCancelled) {
      ++failed;
    } else {
      ++waiting;
    }
  }
  if (moved > 0) {
    mc.out << "Moved " << counted(moved, " file", " files")
           << " to your fast drive; each left a link at its old place.\n";
  }
  if (failed > 0) {
    mc.err << counted(failed, " file", " files")
           << " could not be moved (see brimvale moves). Those originals are untouched and "
              "will be tried again on a later run.\n";
  }
  if (waiting > 0) {
    mc.err << counted(waiting, " file", " files")
           << " did not finish moving (see brimvale moves): the fast drive went away or a step "
              "is still to come. Those originals are still in place, as files or as links to a "
              "checked copy; they finish once the drive is back and Brimvale runs, or when you "
              "scan again.\n";
  }
  return failed > 0 || waiting > 0 || run->failed > 0 ? 1 : 0;
}

// Where the new files go from now on, and the names left out.
int editPolicy(AutoSyncCommandContext& c, cloud::AutoSyncManager& manager,
               const AutoSyncPolicy& policy, const AutoSyncOptions& o) {
  auto edited = manager.edit(policy.id, o.words[1], o.excludes);
  if (!edited) {
    c.mover.err << edited.error() << "\n";
    return 1;
  }
  c.mover.out << "Watching " << edited->internalPath << ": new files move to "
              << edited->nvmeDestParent << " on your fast drive";
  if (edited->excludePatterns.empty()) {
    c.mover.out << ", leaving out nothing";
  } else {
    c.mover.out << ", leaving out " << joinedWith(edited->excludePatterns, " ");
  }
  c.mover.out << ". Files already moved stay where they are.\n";
  return 0;
}

// enable, disable, remove, scan and edit: each names one policy.
int onePolicy(AutoSyncCommandContext& c, const AutoSyncOptions& o) {
  auto& out = c.mover.out;
  auto& err = c.mover.err;
  const std::size_t words = o.action == "edit" ? 2 : 1;
  if (o.words.size() != words) {
    err << "Say which watched folder: brimvale autosync " << o.action
        << (o.action == "edit" ? " ID DEST_PARENT [--exclude PATTERN]..." : " ID")
        << " (see brimvale autosync list). Nothing was changed.\n";
    return 2;
  }
  cloud::AutoSyncManager manager(settingsFor(c, nullptr));
  const auto policies = manager.policies();
  const AutoSyncPolicy* found = policyWithPrefix(policies, o.words[0]);
  if (!found) {
    err << "No single watched folder has an id starting with " << o.words[0]
        << " (see brimvale autosync list). Nothing was changed.\n";
    return 1;
  }
  if (o.action == "scan") return scanNow(c, *found);
  if (o.action == "edit") return editPolicy(c, manager, *found, o);
  if (o.action == "remove") {
    if (auto removed = manager.remove(found->id); !removed) {
      err << "Brimvale couldn't stop watching " << found->internalPath << ": "
          << removed.error().message() << " Nothing was changed.\n";
      return 1;
    }
    out << "Stopped watching " << found->internalPath
        << ". Files already moved stay on your fast drive, reached through their links.\n";
    return 0;
  }
  const bool enable = o.action == "enable";
  if (auto set = manager.setEnabled(found->id, enable); !set) {
    err << "Brimvale couldn't switch auto-sync of " << found->internalPath << " "
        << (enable ? "on" : "off") << ": " << set.error().message() << " Nothing was changed.\n";
    return 1;
  }
  out << "Auto-sync of " << found->internalPath << " is "
      << (enable ? "on: its settled files move to your fast drive every minute while Brimvale runs."
                 : "off: its files stay where they are until you switch it on again.")
      << "\n";
  return 0;
}

}  // namespace

std::string autoSyncListLine(const AutoSyncPolicy& p) {
  std::string line = shortId(p.id) + "  " + (p.enabled ? "on " : "off") + "  " + p.internalPath +
                     " → " + p.nvmeDestParent + "  " +
                     counted(p.totalFilesMoved, " file", " files") + " moved";
  if (p.totalBytesMoved > 0) line += " (" + platform::formatFileByteCount(p.totalBytesMoved) + ")";
  line += p.lastScanAt ? ", last scan " + ts(*p.lastScanAt) : ", not scanned yet";
  return line;
}

int autosyncCommand(AutoSyncCommandContext& context, const AutoSyncOptions& options) {
  const std::string& action = options.action;
  if (action.empty() || action == "list") return listPolicies(context, options);
  if (options.json) {
    context.mover.err << "--json goes with `autosync list` only. Nothing was changed.\n";
    return 2;
  }
  if (action == "add") return addPolicy(context, options);
  if (action == "enable" || action == "disable" || action == "remove" || action == "scan" ||
      action == "edit") {
    return onePolicy(context, options);
  }
  context.mover.err << "Unknown autosync action " << action
                    << ": use list, add, edit, enable, disable, remove or scan. Nothing was "
                       "changed.\n";
  return 2;
}

}  // namespace brimvale::app
