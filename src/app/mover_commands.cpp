#include "app/mover_commands.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <iostream>

#include "common/disk_usage.h"
#include "common/text_formats.h"
#include "common/process.h"
#include "mover/safety_checks.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using mover::MovePhase;
using mover::MoveManifest;

constexpr std::chrono::milliseconds kProgressInterval{250};
constexpr std::chrono::seconds kLockWait{5};

// The folder the volume holding `path` is mounted on.
fs::path volumeRootOf(fs::path path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return "/";
  while (path.has_parent_path() && path != path.parent_path()) {
    struct stat up {};
    if (stat(path.parent_path().c_str(), &up) != 0 || up.st_dev != st.st_dev) return path;
    path = path.parent_path();
  }
  return "/";
}

std::string eta(int seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d:%02d", seconds / 3600, (seconds / 60) % 60, seconds % 60);
  return buf;
}

// Prints phase changes as lines and copy progress as one rewritten bar.
class ProgressPrinter {
 public:
  ProgressPrinter(std::ostream& out, mover::LocalFolderMover& m) : out_(out), mover_(m) {}
  void phaseChanged(const MoveManifest& job) {
    auto& last = phases_[job.id];
    const std::string status = job.statusMessage.value_or("");
    if (last.first == job.phase && last.second == status) return;
    if (!last.second.empty() && last.first == job.phase && status.starts_with("Hashing ") &&
        last.second.starts_with("Hashing ") && status.substr(0, 14) == last.second.substr(0, 14)) {
      last.second = status;  // percentage steps of the same hashing pass: keep the output short
      if (!status.ends_with("100%")) return;
    }
    endBar();
    last = {job.phase, status};
    out_ << quotedPhase(job) << (status.empty() ? "" : ": " + status) << "\n" << std::flush;
  }
  void tick() {
    for (const auto& job : mover_.jobs()) {
      if (job.phase != MovePhase::kCopying) continue;
      auto p = mover_.progress(job.id);
      if (!p) continue;
      const int width = 30;
      const int filled = static_cast<int>(p->fraction * width);
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.resize(width, '-');
      const std::int64_t total = job.srcSizeKB > 0 ? job.srcSizeKB * 1024 : 0;
      std::string line = "[" + bar + "] " + std::to_string(static_cast<int>(p->fraction * 100)) + "% · " +
                         platform::formatFileByteCount(p->bytesTransferred) +
                         (total > 0 ? " of " + platform::formatFileByteCount(total) : "") + " · " +
                         platform::formatFileByteCount(p->bytesPerSecond) + "/s · ETA " + eta(p->etaSeconds);
      const std::string file = mover_.currentFile(job.id);
      if (!file.empty()) line += " · " + file.substr(0, 60);
      if (line == lastBar_) continue;
      lastBar_ = line;
      out_ << "\r" << line << "\x1b[K" << std::flush;
      barShown_ = true;
    }
  }
  void endBar() {
    if (barShown_) out_ << "\n";
    barShown_ = false;
  }

 private:
  static std::string quotedPhase(const MoveManifest& job) {
    return std::string(mover::phaseRaw(job.phase)) + " " + mover::quotedName(job.src);
  }
  std::ostream& out_;
  mover::LocalFolderMover& mover_;
  std::map<std::string, std::pair<MovePhase, std::string>> phases_;
  std::string lastBar_;
  bool barShown_ = false;
};

// Prints every change of a move, and ends the loop as soon as the last move
// has settled rather than at the next progress tick.
void followMoves(RunLoop& loop, MoverHost& host, ProgressPrinter& printer) {
  host.setOnChange([&loop, &host, &printer](const MoveManifest& job) {
    printer.phaseChanged(job);
    if (job.phase == MovePhase::kCopying) return;  // progress: the tick handles it
    loop.post([&loop, &host] {
      if (host.mover().idle()) loop.stop();
    });
  });
}

// Runs the loop until every move has settled; prints as it goes.
void runUntilSettled(RunLoop& loop, MoverHost& host, ProgressPrinter& printer) {
  auto& m = host.mover();
  const auto timer = loop.scheduleRepeating("mover.progress", kProgressInterval, kProgressInterval / 2, [&] {
    printer.tick();
    if (m.idle()) loop.stop();
  });
  if (!m.idle()) loop.run();
  loop.cancel(timer);
  printer.endBar();
}

const MoveManifest* findJob(const mover::LocalFolderMover& m, const std::string& idPrefix) {
  const std::string prefix = asciiUpper(idPrefix);
  const MoveManifest* found = nullptr;
  for (const auto& j : m.jobs()) {
    if (!prefix.empty() && j.id.starts_with(prefix)) {
      if (found) return nullptr;  // ambiguous
      found = &j;
    }
  }
  return found;
}

int reportOutcome(MoverCommandContext& c, const MoveManifest& job) {
  switch (job.phase) {
    case MovePhase::kDone:
      c.out << (job.replaceSourceWithSymlink
                    ? "Relocated " + job.src + " to " + job.finalDst +
                          ". Every file in the original folder is now a link to its copy on the drive.\n"
                    : "Moved " + job.src + " to " + job.finalDst + ".\n");
      return 0;
    case MovePhase::kWaitingForDrive:
      c.err << "The drive went away during the move, so it is paused. Your original is safe; reconnect the "
               "drive and run `brimvale moves resume`.\nDetails: "
            << job.lastError.value_or("") << "\n";
      return 1;
    default:
      c.err << mover::userFacingFailure(job.lastError.value_or(""), job.src) << "\nDetails: "
            << job.lastError.value_or(std::string(mover::phaseRaw(job.phase))) << "\n";
      return 1;
  }
}

// The safety checks; false (with the reason printed) when the move must not be
// queued. `sizeKB` gets the folder's size as the mover measures it.
bool checksAllow(MoverCommandContext& c, const std::string& src, const fs::path& mount,
                 std::optional<std::int64_t>& sizeKB) {
  AppDataDenylist denylist(c.paths.home);
  if (auto blocked = denylist.verdict(src)) {
    c.err << "Brimvale won't move this folder — it is protected (" << blocked->displayName << "): "
          << blocked->reason << "\nNothing was moved; your folder is untouched.\n";
    return false;
  }
  // The in-use probe reads other processes; one survey of the folder gives
  // both its newest write and its size. Independent, so side by side.
  auto inUse = std::async(std::launch::async, [src]() -> std::vector<mover::FolderInUseEntry> {
#ifdef __linux__
    return mover::FolderInUseProbe::procScanner().scan(src);
#else
    const std::string lsof = findExecutable("lsof");
    if (lsof.empty()) return {};
    return mover::FolderInUseProbe(lsof).scan(src);
#endif
  });
  mover::MoverSettings settings(c.host.defaults.get());
  const auto survey = surveyTree(src);
  auto recent = mover::recentWriteReport(survey, settings.recentWriteWindowHours(), std::time(nullptr));
  const auto users = inUse.get();
  if (!users.empty()) {
    c.out << "Apps using files in this folder (quit them first for the cleanest copy):\n";
    for (const auto& u : users) {
      std::string pids;
      for (int p : u.pids) pids += (pids.empty() ? "" : ", ") + std::to_string(p);
      c.out << "  " << u.displayName << " (pid " << pids << ")\n";
    }
  }
  if (recent.triggered) {
    if (settings.recentWriteGuardEnabled()) {
      c.err << recent.message() << "\nNothing was moved; your folder is untouched.\n";
      return false;
    }
    c.out << "Recent writes in this folder: " << recent.path << " was modified " << mover::ageText(recent.ageSeconds)
          << " (the guard is off).\n";
  }
  const auto srcCase = mover::caseSensitivity(mover::caseProbeFolders(volumeRootOf(src), c.paths.home));
  const auto dstCase = mover::caseSensitivity(mover::caseProbeFolders(volumeRootOf(mount), c.paths.home));
  if (srcCase == mover::VolumeCaseSensitivity::kSensitive &&
      dstCase == mover::VolumeCaseSensitivity::kInsensitive) {
    auto collisions = mover::caseCollisions(src);
    if (!collisions.empty()) {
      c.err << "These names differ only in letter case and cannot both exist on the drive:\n";
      for (const auto& col : collisions) c.err << "  " << col.first << "\n  " << col.second << "\n";
      c.err << "Nothing was moved; your folder is untouched. Rename one of each pair and try again.\n";
      return false;
    }
  }
  const std::uint64_t size = survey ? survey->allocatedBytes : 0;
  if (survey) sizeKB = mover::kibRoundedUp(survey->apparentBytes);
  struct statvfs vfs {};
  if (statvfs(mount.c_str(), &vfs) == 0) {
    const std::uint64_t free = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    c.out << "Folder size " << platform::formatFileByteCount(static_cast<std::int64_t>(size)) << " · free on the drive "
          << platform::formatFileByteCount(static_cast<std::int64_t>(free)) << "\n";
    if (size > free) {
      c.err << "There isn't enough free space on the drive for " << mover::quotedName(src)
            << ". Nothing was moved; your folder is untouched. Free some space on the drive and try again.\n";
      return false;
    }
  }
  return true;
}

}  // namespace

MoverHost::MoverHost(const StatePaths& paths, platform::UserDefaults* defaults, std::string computerName,
                     RunLoop& loop, platform::MountTable* mounts,
                     std::optional<mover::VerificationLevel> level)
    : logFile_(paths.state),
      ledger_(paths.state, systemClock()),
      events_(paths.state),
      recorder_(defaults, ledger_),
      snapshots_({snapshots::defaultSnapshotToolPath(), {}}, recorder_, [] { return snapshots::StartupCapacity{}; }) {
  log_.setObserver([this](std::span<const mover::MoverLogLine> lines) { logFile_.write(lines); });
  mover::MoverEnvironment env;
  env.paths = paths;
  env.computerName = std::move(computerName);
  env.scheduler = &loop;
  env.post = [&loop](std::function<void()> task) { loop.post(std::move(task)); };
  env.defaults = defaults;
  env.ledger = &ledger_;
  env.events = &events_;
  env.systemLog = [](const std::string& line) { std::cerr << line << "\n"; };
  env.rsync = mover::RsyncSupport::probe(mover::RsyncSupport::defaultCandidates(""));
  env.verificationOverride = level;
  env.thinSnapshots = [this](std::int64_t bytes) -> Result<std::string> {
    auto thinned = snapshots_.thinLocalSnapshots(bytes, snapshots::kMostUrgent);
    if (!thinned) return fail(Errc::kToolFailed, thinned.error().description());
    return "freed up to " + platform::formatFileByteCount(bytes);
  };
  if (mounts) env.isMounted = [mounts](const fs::path& p) { return mounts->isMountedAt(p.string()); };
  env.onChange = [this](const mover::MoveManifest& job) {
    if (onChange_) onChange_(job);
  };
  mover_ = std::make_unique<mover::LocalFolderMover>(std::move(env), log_);
}

void MoverHost::Recorder::rememberLastReclaim(double epochSeconds) {
  if (defaults_) {
    (void)defaults_->setInt(snapshots::kLastReclaimAtEpochKey, static_cast<std::int64_t>(epochSeconds));
  }
}

void MoverHost::Recorder::recordLedgerRun(std::string_view job, std::string_view summary) {
  if (auto kind = transfers::jobKindFromRaw(job)) {
    (void)ledger_.recordRun(*kind, transfers::JobOutcome::kOk, summary);
  }
}

int moveCommand(MoverCommandContext& c, const std::string& folder, const std::string& verify) {
  std::optional<mover::VerificationLevel> level;
  if (!verify.empty()) level = mover::verificationLevelFromRaw(verify);
  std::string src = fs::absolute(folder).lexically_normal().string();
  while (src.size() > 1 && src.back() == '/') src.pop_back();
  struct stat st {};
  if (lstat(src.c_str(), &st) != 0) {
    c.err << "There is nothing at " << src << ". Nothing was moved; check the path and try again.\n";
    return 1;
  }
  RunLoop loop;
  MoverHost host(c.paths, c.host.defaults.get(), c.computerName, loop, c.mounts, level);
  auto& m = host.mover();
  const fs::path mount = m.mountPath();
  if (!fs::is_directory(mount)) {
    c.err << "The fast drive isn't connected at " << mount.string()
          << ". Nothing was moved; your folder is untouched. Connect the drive and try again.\n";
    return 1;
  }
  std::optional<std::int64_t> sizeKB;
  if (!S_ISLNK(st.st_mode) && !checksAllow(c, src, mount, sizeKB)) return 1;
  mover::RelocatorLock lock(c.paths.state);
  if (auto locked = lock.acquire(kLockWait); !locked) {
    c.err << locked.error().detail << " Nothing was moved; your folder is untouched. Try again when it has finished.\n";
    return 1;
  }
  ProgressPrinter printer(c.out, m);
  m.setPaused(true);
  m.reload();
  followMoves(loop, host, printer);
  auto id = m.enqueue(src, (m.workingFolder() / "Relocated").string(), mover::MoveConflictPolicy::kMerge, true,
                      mover::MoveTriggerSource::kUserMove, sizeKB);
  c.out << "Move " << *id << " queued.\n";
  loop.post([&] { m.setPaused(false); });
  runUntilSettled(loop, host, printer);
  return reportOutcome(c, *m.job(*id));
}

int movesCommand(MoverCommandContext& c, const std::string& action, const std::string& id) {
  if (action.empty()) {
    mover::ManifestStore store(c.paths.state, {}, systemClock());
    auto all = store.all();
    if (all.empty()) c.out << "No folder moves yet.\n";
    for (const auto& j : all) {
      c.out << j.id << "  " << mover::phaseRaw(j.phase) << "  " << j.src << " → " << j.finalDst << "\n";
      if (j.phase == MovePhase::kFailed) {
        c.out << "    " << mover::userFacingFailure(j.lastError.value_or(""), j.src) << "\n";
      } else if (j.lastError) {
        c.out << "    " << *j.lastError << "\n";
      } else if (j.statusMessage) {
        c.out << "    " << *j.statusMessage << "\n";
      }
    }
    return 0;
  }
  if (action != "cancel" && action != "revert" && action != "resume") {
    c.err << "Unknown action \"" << action << "\": use cancel ID, revert ID or resume.\n";
    return 2;
  }
  mover::RelocatorLock lock(c.paths.state);
  if (auto locked = lock.acquire(std::chrono::milliseconds(0)); !locked) {
    c.err << locked.error().detail
          << " Your data is safe. Stop the other Brimvale move first (Ctrl-C there), then try again.\n";
    return 1;
  }
  RunLoop loop;
  MoverHost host(c.paths, c.host.defaults.get(), c.computerName, loop, c.mounts);
  auto& m = host.mover();
  ProgressPrinter printer(c.out, m);
  m.setPaused(true);
  m.reload();
  followMoves(loop, host, printer);
  if (action == "resume") {
    m.setPaused(false);
    runUntilSettled(loop, host, printer);
    return 0;
  }
  const MoveManifest* job = findJob(m, id);
  if (!job) {
    c.err << "No single move matches \"" << id << "\"; `brimvale moves` lists them.\n";
    return 2;
  }
  const std::string jobId = job->id;
  if (action == "cancel") {
    if (mover::isTerminal(job->phase)) {
      c.err << "That move already ended (" << mover::phaseRaw(job->phase) << "); nothing to cancel.\n";
      return 1;
    }
    m.cancel(jobId);
    c.out << "Cancelled. Your original is where it was; any partial copy stays on the drive.\n";
    return 0;
  }
  if (auto refused = m.revert(jobId)) {
    c.err << *refused << "\n";
    return 1;
  }
  const std::string backId = m.jobs().back().id;
  m.setPaused(false);
  runUntilSettled(loop, host, printer);
  return reportOutcome(c, *m.job(backId));
}

int moveLogCommand(MoverCommandContext& c, const std::string& id) {
  mover::MoverLogFile file(c.paths.state);
  for (const auto& line : file.read(id)) c.out << line << "\n";
  return 0;
}

}  // namespace brimvale::app
