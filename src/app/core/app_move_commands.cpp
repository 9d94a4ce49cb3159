#include "app/core/app_move_commands.h"

#include "app/core/json_output.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <expected>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/core/app_log.h"
#include "apps/app_facts_cache.h"
#include "apps/app_relocator_engine.h"
#include "apps/reinstall_sweep.h"
#include "apps/relocated_app_registry.h"
#include "apps/vendor_reinstall_monitor.h"
#include "common/base/best_effort.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/configured_drive.h"
#include "mover/local_folder_mover.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kAppBundleSuffix = ".app";
constexpr std::array<std::string_view, 7> kAppMoveActions{
    "move", "move-back", "moved", "offload", "restore", "reinstalls", "review"};

std::string curly(const std::string& name) { return "\u201c" + name + "\u201d"; }

std::string lower(std::string text) {
  std::ranges::transform(text, text.begin(), [](unsigned char ch) { return std::tolower(ch); });
  return text;
}

// A failure already printed, with the exit status it gives.
using Printed = int;

// Ctrl-C or a stop request during a move: the copy is not interrupted
// gracefully, but the process's end is as safe as a crash, so say so and end.
constexpr char kInterrupted[] =
    "\nStopped before the move finished. Your app is safe: it is still in its folder, or it is "
    "put back there the next time `brimvale apps` moves an app or `brimvale run` starts; run the "
    "same command again to move it.\n";

extern "C" void onInterrupt(int signal) {
  (void)!::write(STDERR_FILENO, kInterrupted, sizeof kInterrupted - 1);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Says what happened when the user interrupts, for as long as it lives.
class InterruptNotice {
 public:
  InterruptNotice() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &oldInt_);
    ::sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~InterruptNotice() {
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  InterruptNotice(const InterruptNotice&) = delete;
  InterruptNotice& operator=(const InterruptNotice&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

// One line per tenth of the copy (or one updated line on a terminal).
class CopyProgress {
 public:
  CopyProgress(std::ostream& out, std::string name, std::uint64_t total)
      : out_(out), name_(std::move(name)), total_(total), terminal_(::isatty(STDOUT_FILENO)) {}
  ~CopyProgress() {
    if (terminal_ && shown_ >= 0) out_ << "\n";
  }
  CopyProgress(const CopyProgress&) = delete;
  CopyProgress& operator=(const CopyProgress&) = delete;

  // The copy ended whole: its last line says so.
  void finish() {
    if (shown_ < 0 || shown_ == 10) return;
    shown_ = 9;
    show(last_, last_.bytesCopied);
  }

  void operator()(const platform::BundleCopyProgress& p) { show(p, total_); }

 private:
  void show(const platform::BundleCopyProgress& p, std::uint64_t total) {
    last_ = p;
    const int tenth =
        total == 0 ? 10 : static_cast<int>(std::min<std::uint64_t>(10, p.bytesCopied * 10 / total));
    if (tenth <= shown_) return;
    shown_ = tenth;
    out_ << (terminal_ ? "\r" : "") << "Copying " << curly(name_) << ": " << tenth * 10 << "% ("
         << platform::formatFileByteCount(static_cast<std::int64_t>(p.bytesCopied)) << " of "
         << platform::formatFileByteCount(static_cast<std::int64_t>(total)) << ", " << p.filesCopied
         << " items)" << (terminal_ ? "" : "\n") << std::flush;
  }

  std::ostream& out_;
  std::string name_;
  std::uint64_t total_;
  bool terminal_;
  int shown_ = -1;
  platform::BundleCopyProgress last_;
};

// Where the app stands after a failure, as the sentence that ends the message.
std::string whereTheAppIs(const std::string& name, const std::string& originalPath,
                          const StatePaths& paths) {
  if (apps::isRealFolder(originalPath)) {
    return " Your app " + curly(name) + " is safe at " + originalPath + ".";
  }
  std::error_code ec;
  if (fs::is_symlink(originalPath, ec) && fs::is_directory(originalPath, ec)) {
    return " Your app " + curly(name) + " is safe on your fast drive and opens through " +
           originalPath + ".";
  }
  return " Your app " + curly(name) + " is not at " + originalPath + "; the notes in " +
         (paths.state / "orphan-manifests").string() +
         " say where it is, and `brimvale run` puts it back when it starts.";
}

// The path as the catalogue names it: absolute, normal, no trailing "/".
fs::path appCatalogueForm(const std::string& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec).lexically_normal();
  if (!absolute.has_filename() && absolute.has_parent_path()) absolute = absolute.parent_path();
  return absolute;
}

bool looksLikePath(const std::string& target) {
  return target.find('/') != std::string::npos || target.ends_with(kAppBundleSuffix);
}

// The catalogue entry of the app a user named, from the application folders
// only: those are the folders the mover and its repair at launch work in.
std::expected<apps::AppEntry, Printed> resolveApp(AppMoveCommandHost& host,
                                                  const std::string& target,
                                                  const std::string& verb) {
  AppsCommandHost& a = host.apps;
  auto cache = apps::AppFactsCache::load(a.factsCache);
  apps::AppDiscovery discovery(a.folders, a.probe, cache, a.isRunning);
  std::vector<apps::AppEntry> found;
  if (looksLikePath(target)) {
    const fs::path bundle = appCatalogueForm(target);
    const bool inFolder = std::ranges::any_of(host.env.applicationRoots, [&](const fs::path& root) {
      return bundle.parent_path() == root;
    });
    if (!apps::somethingAt(bundle)) {
      a.err << "There is nothing at " << bundle.string()
            << ". Check the path with `brimvale apps` and try again. Nothing was " << verb << ".\n";
      return std::unexpected(1);
    }
    if (!inFolder) {
      a.err << "Brimvale " << (verb == "moved" ? "moves" : "offloads")
            << " apps only from the application folders (/Applications and "
            << "~/Applications), and " << bundle.string()
            << " is not directly inside one. Nothing was " << verb << "; the app is untouched.\n";
      return std::unexpected(1);
    }
    found.push_back(discovery.entryAt(bundle, a.now));
  } else {
    const std::string wanted = lower(target);
    for (auto& entry : discovery.discover(a.now)) {
      const std::string file = fs::path(entry.bundlePath).stem().string();
      if (lower(entry.displayName) == wanted || lower(file) == wanted) found.push_back(entry);
    }
  }
  bestEffort(cache.save(), DiagnosticsLog(a.diagnosticsLog), "saving the app facts");
  if (found.empty()) {
    a.err << "No app called " << curly(target)
          << " is in the application folders. Check the name with `brimvale apps` and try "
             "again. Nothing was "
          << verb << ".\n";
    return std::unexpected(1);
  }
  if (found.size() > 1) {
    a.err << "More than one app is called " << curly(target) << ":";
    for (const auto& entry : found) a.err << " " << entry.bundlePath;
    a.err << ". Name the one you mean by its path. Nothing was " << verb << ".\n";
    return std::unexpected(2);
  }
  return found.front();
}

apps::AppClassificationResult classified(AppMoveCommandHost& host, const apps::AppEntry& entry) {
  return apps::classify(apps::classifierInputFor(entry, inspectionSources(host.apps)),
                        host.apps.classifier);
}

// Repairs the moves and moves back a crash or a Ctrl-C cut short, saying so.
void repairInterrupted(AppMoveCommandHost& host, apps::AppRelocatorEngine& engine) {
  for (const auto& report : engine.recoverPendingManifests()) {
    const auto record = apps::moveWithId(host.env.store->loadAll(), report.manifestID);
    const std::string name = record ? record->displayName : report.manifestID;
    host.apps.out << "Put right an earlier move of " << curly(name)
                  << " that was cut short; the app is back where it was.\n";
  }
}

// The versions a move kept because they differ from the one that stays.
void sayKept(std::ostream& out, const std::vector<std::string>& kept) {
  for (const auto& path : kept) {
    out << "Kept " << path << ": it differs from the version that stays, so nothing in it was "
        << "deleted.\n";
  }
}

std::optional<apps::AppMoveManifest> liveRelocationAt(const AppMoveCommandHost& host,
                                                      const std::string& originalPath) {
  for (auto& m : apps::movesOfOriginalPath(host.env.store->loadAll(), originalPath)) {
    if (apps::isLiveRelocation(m)) return m;
  }
  return std::nullopt;
}

std::string driveAppsFolder(const AppMoveCommandHost& host) {
  return host.workingFolder.empty() ? std::string() : (host.workingFolder / "Apps").string();
}

}  // namespace

std::string linkState(const std::string& originalPath, const std::string& nvmePath) {
  if (apps::isLinkTo(originalPath, nvmePath)) {
    return apps::isRealFolder(nvmePath) ? "working" : "drive away";
  }
  if (apps::isRealFolder(originalPath)) return "reinstalled";
  return apps::somethingAt(originalPath) ? "link changed" : "link missing";
}

int appsMoveCommand(AppMoveCommandHost& host, const std::string& target, bool overrideRisk) {
  std::ostream& out = host.apps.out;
  std::ostream& err = host.apps.err;
  // First: a move cut short may have left the app parked, or behind a link
  // no finished record names.
  apps::AppRelocatorEngine engine(host.env);
  repairInterrupted(host, engine);
  auto resolved = resolveApp(host, target, "moved");
  if (!resolved) return resolved.error();
  const apps::AppEntry& app = *resolved;
  // A link in the app's place: when it is our own move (recorded, and
  // pointing at its copy) what the user asked for holds already (0); any
  // other link is not ours to move.
  std::error_code ec;
  if (fs::is_symlink(app.bundlePath, ec)) {
    const std::string already =
        apps::EngineError::withPath(apps::EngineErrorKind::kAlreadySymlink, app.bundlePath)
            .userMessage();
    if (const auto live = liveRelocationAt(host, app.bundlePath);
        live && apps::isLinkTo(app.bundlePath, live->nvmePath)) {
      out << already << "\n";
      return 0;
    }
    err << already << " Nothing was moved; the app and its link are untouched.\n";
    return 1;
  }
  const auto classification = classified(host, app);
  if (classification.tier == apps::RiskTier::kBlocked) {
    err << curly(app.displayName) << " can\u2019t be moved: " << classification.reason
        << " Nothing was moved; the app is untouched.\n";
    return 1;
  }
  if (classification.tier == apps::RiskTier::kOverride) {
    if (!overrideRisk) {
      err << "Moving " << curly(app.displayName) << " has a known risk: " << classification.reason
          << "\nNothing was moved; the app is untouched. To move it anyway, run `brimvale apps "
             "move '"
          << app.bundlePath << "' --override`.\n";
      return 1;
    }
    out << "Moving " << curly(app.displayName)
        << " despite its known risk, as you asked: " << classification.reason << "\n";
  }

  const Verdict verdict = decide(
      host.confirm, "Move " + curly(app.displayName) + " (" +
                        platform::formatFileByteCount(app.sizeBytes) + ") from " + app.bundlePath +
                        " to " + driveAppsFolder(host) + ", leaving a link in its place.");
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  std::optional<apps::EngineCompletion> result;
  engine.addCompletionListener([&](const apps::EngineCompletion& done) { result = done; });
  CopyProgress progress(out, app.displayName, static_cast<std::uint64_t>(app.sizeBytes));
  engine.setCopyObserver([&](const platform::BundleCopyProgress& p) { progress(p); });
  const auto job = engine.enqueue(app, driveAppsFolder(host), classification, overrideRisk);
  if (!job) {
    err << engine.statusLine().value_or("The move could not be started.")
        << " Nothing was moved; the app is untouched.\n";
    return 1;
  }
  {
    const InterruptNotice notice;
    engine.drain();
  }
  if (!result) return 1;  // the engine announces every job it ran
  if (result->success) {
    progress.finish();
    out << result->sentence << "\n";
    sayKept(out, result->kept);
    return 0;
  }
  err << result->sentence << whereTheAppIs(app.displayName, app.bundlePath, host.env.paths) << "\n";
  sayKept(err, result->kept);
  return 1;
}

int appsMoveBackCommand(AppMoveCommandHost& host, const std::string& idOrName) {
  std::ostream& out = host.apps.out;
  std::ostream& err = host.apps.err;
  apps::AppRelocatorEngine engine(host.env);
  repairInterrupted(host, engine);
  const auto all = host.env.store->loadAll();
  std::optional<apps::AppMoveManifest> record;
  if (const auto id = apps::canonicalUuid(idOrName)) {
    record = apps::moveWithId(all, *id);
  } else {
    const std::string wanted = lower(idOrName);
    const std::string path = looksLikePath(idOrName) ? appCatalogueForm(idOrName).string() : "";
    // The app on the drive; else its newest finished move, to say it is back already.
    for (const auto& m : all) {
      if (m.phase != apps::AppMovePhase::kDone) continue;
      if (lower(m.displayName) != wanted && (path.empty() || m.originalPath != path)) continue;
      const bool better = !record ||
                          (apps::isLiveRelocation(m) && !apps::isLiveRelocation(*record)) ||
                          (apps::isLiveRelocation(m) == apps::isLiveRelocation(*record) &&
                           m.startedAt > record->startedAt);
      if (better) record = m;
    }
  }
  if (!record) {
    err << "No moved app has the id or name " << curly(idOrName)
        << ". `brimvale apps moved` lists them. Nothing was changed.\n";
    return 1;
  }
  if (!apps::isLiveRelocation(*record) && apps::isRealFolder(record->originalPath)) {
    out << curly(record->displayName) << " is already back on your internal disk at "
        << record->originalPath << "; nothing to do.\n";
    return 0;
  }
  const Verdict verdict = decide(
      host.confirm, "Move " + curly(record->displayName) + " (" +
                        platform::formatFileByteCount(record->srcSizeKB * 1024) + ") back from " +
                        record->nvmePath + " to " + record->originalPath + ".");
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  CopyProgress progress(out, record->displayName,
                        static_cast<std::uint64_t>(record->srcSizeKB) * 1024);
  engine.setCopyObserver([&](const platform::BundleCopyProgress& p) { progress(p); });
  std::expected<apps::EngineCompletion, apps::EngineError> done;
  {
    const InterruptNotice notice;
    done = engine.runMoveBack(record->id);
  }
  if (!done) {
    err << done.error().userMessage()
        << whereTheAppIs(record->displayName, record->originalPath, host.env.paths) << "\n";
    return 1;
  }
  progress.finish();
  out << done->sentence << "\n";
  sayKept(out, done->kept);
  return 0;
}

int appsMovedCommand(AppMoveCommandHost& host, bool asJson) {
  std::ostream& out = host.apps.out;
  std::vector<apps::AppMoveManifest> live;
  for (auto& m : apps::finishedRelocations(host.env.store->loadAll())) {
    if (apps::isLiveRelocation(m)) live.push_back(std::move(m));
  }
  std::ranges::sort(live, {}, [](const apps::AppMoveManifest& m) { return lower(m.displayName); });
  if (asJson) {
    json list = json::array();
    for (const auto& m : live) {
      list.push_back({{"id", m.id},
                      {"name", m.displayName},
                      {"originalPath", m.originalPath},
                      {"nvmePath", m.nvmePath},
                      {"bundleID", m.bundleID ? json(*m.bundleID) : json(nullptr)},
                      {"sizeBytes", m.srcSizeKB * 1024},
                      {"tierAtMove", m.tierAtMove ? json(*m.tierAtMove) : json(nullptr)},
                      {"movedAt", m.completedAt ? json(isots(*m.completedAt)) : json(nullptr)},
                      {"state", linkState(m.originalPath, m.nvmePath)}});
    }
    out << versionedText(json{{"apps", std::move(list)}});
    return 0;
  }
  if (live.empty()) {
    out << "No apps are on your fast drive. `brimvale apps move NAME` moves one.\n";
    return 0;
  }
  for (const auto& m : live) {
    out << m.id << "  " << m.displayName << "  "
        << platform::formatFileByteCount(m.srcSizeKB * 1024) << "  "
        << (m.completedAt ? localDate(*m.completedAt) : std::string("?")) << "  "
        << linkState(m.originalPath, m.nvmePath) << "  " << m.originalPath << " \u2192 "
        << m.nvmePath << "\n";
  }
  return 0;
}

namespace {

apps::AppOffloaderSetup offloaderSetup(AppMoveCommandHost& host) {
  apps::AppOffloaderSetup setup = host.offload;
  // The relocator's own lock: an offload never runs while a move of the same
  // app copies it (or any move runs), and a move waits for no offload either.
  setup.lockFile = mover::RelocatorLock::fileIn(host.env.paths.state);
  setup.diagnosticsLog = host.env.paths.diagnosticsLog;
  const fs::path working = host.workingFolder;
  setup.workingFolder = [working]() -> std::optional<fs::path> {
    if (working.empty() || !apps::isRealFolder(working)) return std::nullopt;
    return working;
  };
  return setup;
}

// Prints each new status line the offloader publishes.
std::function<void()> statusPrinter(std::ostream& out, const apps::AppOffloader*& offloader) {
  return [&out, &offloader, last = std::string()]() mutable {
    if (!offloader || !offloader->statusLine() || *offloader->statusLine() == last) return;
    last = *offloader->statusLine();
    out << last << "\n" << std::flush;
  };
}

int offloadOutcome(AppMoveCommandHost& host, const apps::AppOffloader& offloader,
                   const apps::OffloadResult& result) {
  if (result) {
    host.apps.out << offloader.lastResult().value_or("Done.") << "\n";
    return 0;
  }
  host.apps.err << offloader.lastError().value_or(result.error().message()) << "\n";
  return 1;
}

}  // namespace

int appsOffloadCommand(AppMoveCommandHost& host, const std::string& target) {
  auto resolved = resolveApp(host, target, "offloaded");
  if (!resolved) return resolved.error();
  const Verdict verdict =
      decide(host.confirm, "Offload " + curly(resolved->displayName) + " (" +
                               platform::formatFileByteCount(resolved->sizeBytes) +
                               "): it and its data are archived on the drive, then removed from " +
                               resolved->bundlePath + " and your Library.");
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  const apps::AppOffloader* shown = nullptr;
  apps::AppOffloaderSetup setup = offloaderSetup(host);
  setup.changed = statusPrinter(host.apps.out, shown);
  apps::AppOffloader offloader(std::move(setup));
  shown = &offloader;
  apps::OffloadResult result;
  {
    const InterruptNotice notice;
    result = offloader.offload(*resolved);
  }
  const int status = offloadOutcome(host, offloader, result);
  if (status == 0) {
    for (const auto& record : offloader.records()) {
      if (record.originalBundlePath == apps::comparablePath(resolved->bundlePath) &&
          record.phase == apps::OffloadPhase::kDone) {
        host.apps.out << "Bring it back with `brimvale apps restore " << record.id << "`.\n";
      }
    }
  }
  return status;
}

int appsRestoreCommand(AppMoveCommandHost& host, const std::string& id) {
  std::ostream& out = host.apps.out;
  if (id.empty()) {
    // Read only: listing must not settle records another process is writing.
    const auto records = host.offload.records->loadAll();
    if (records.empty()) {
      out << "No apps are offloaded. `brimvale apps offload NAME` offloads one.\n";
      return 0;
    }
    for (const auto& r : records) {
      out << r.id << "  " << r.displayName << "  "
          << rawInWords(rawNameOf(apps::kOffloadPhaseNames, r.phase)) << "  "
          << localDate(r.offloadedAt) << "  " << r.originalBundlePath << " \u2192 " << r.archiveDir
          << "\n";
    }
    return 0;
  }
  std::string plan = "Restore the offloaded app " + id;
  for (const auto& r : host.offload.records->loadAll()) {
    if (r.id == id)
      plan += ", " + curly(r.displayName) + ", from " + r.archiveDir + " to " +
              r.originalBundlePath + " and your Library";
  }
  if (const Verdict verdict = decide(host.confirm, plan + "."); verdict != Verdict::kGo)
    return stoppedStatus(verdict);
  const apps::AppOffloader* shown = nullptr;
  apps::AppOffloaderSetup setup = offloaderSetup(host);
  setup.changed = statusPrinter(out, shown);
  apps::AppOffloader offloader(std::move(setup));
  shown = &offloader;
  apps::OffloadResult result;
  {
    const InterruptNotice notice;
    result = offloader.restore(id);
  }
  return offloadOutcome(host, offloader, result);
}

namespace {

// The monitor and mover behind `apps reinstalls --sweep` and `apps review`:
// notices are kept for JSON and printed, as are the moves run, unless JSON.
apps::ReinstallSweepSetup sweepSetup(AppMoveCommandHost& host, json& notices, bool asJson) {
  std::ostream& out = host.apps.out;
  const std::string appsFolder = driveAppsFolder(host);
  return {.env = host.env,
          .appsFolder = [appsFolder]() -> std::optional<fs::path> {
            if (appsFolder.empty()) return std::nullopt;
            return fs::path(appsFolder);
          },
          .classifyInstall = [&host](const apps::AppEntry& app) { return classified(host, app); },
          .notify =
              [&notices, &out, asJson](const apps::MonitorNotification& n) {
                notices.push_back(n.userInfo);
                if (!asJson) {
                  out << n.userInfo.value("title", "") << ": " << n.userInfo.value("body", "")
                      << "\n";
                }
              },
          .moved =
              [&out, asJson](const apps::EngineCompletion& done) {
                if (asJson) return;
                out << done.sentence << "\n";
                sayKept(out, done.kept);
              }};
}

std::string kindText(const std::string& kind) {
  if (kind == apps::kSymlinkMissing) return "its link at the original place was gone";
  if (kind == apps::kSymlinkReplacedByFolder)
    return "an installer put it back on the internal disk";
  if (kind == apps::kNeedsEntitlementReview) {
    return "the new install asks for new permissions; waiting for your review";
  }
  if (kind == apps::kReRelocateFailed) return "moving it to the fast drive again failed";
  if (kind == apps::kReRelocateBlockedTier4) {
    return "the new install can\u2019t be moved, so it stays on the internal disk";
  }
  return kind;
}

std::string actionText(const std::string& action) {
  if (action == apps::kActionReRelocated) return "moved to the fast drive again";
  if (action == apps::kActionApproved) return "you approved the new permissions";
  if (action == apps::kActionKeptOnInternal) return "you kept it on the internal disk";
  return action;
}

}  // namespace

int appsReinstallsCommand(AppMoveCommandHost& host, bool sweepNow, bool asJson) {
  std::ostream& out = host.apps.out;
  json notices = json::array();
  int failedMoves = 0;
  if (sweepNow) {
    apps::ReinstallSweep sweep(sweepSetup(host, notices, asJson));
    sweep.engine().addCompletionListener([&failedMoves](const apps::EngineCompletion& done) {
      failedMoves += done.success ? 0 : 1;
    });
    repairInterrupted(host, sweep.engine());
    const InterruptNotice notice;
    // Asked for now: an app waiting out the back-off of a failed try is tried again.
    sweep.run(apps::RetryTiming::kNow);
  }
  // A move the sweep ran that failed is said in its sentence and in the status.
  const int status = failedMoves > 0 ? 1 : 0;
  std::vector<apps::AppMoveManifest> seen;
  for (auto& m : host.env.store->loadAll()) {
    if (!m.externalModifications.empty()) seen.push_back(std::move(m));
  }
  std::ranges::sort(seen, {}, [](const apps::AppMoveManifest& m) {
    return std::pair(lower(m.displayName), m.startedAt);
  });
  if (asJson) {
    json list = json::array();
    for (const auto& m : seen) {
      json events = json::array();
      for (const auto& e : m.externalModifications) {
        events.push_back({{"detectedAt", isots(e.detectedAt)},
                          {"kind", e.kind},
                          {"actionTaken", e.actionTaken ? json(*e.actionTaken) : json(nullptr)}});
      }
      list.push_back(
          {{"id", m.id},
           {"name", m.displayName},
           {"originalPath", m.originalPath},
           {"consecutiveFailures", m.consecutiveReRelocateFailures},
           {"nextAttemptAt",
            m.nextReRelocateAttemptAt ? json(isots(*m.nextReRelocateAttemptAt)) : json(nullptr)},
           {"events", std::move(events)}});
    }
    out << versionedText(
        json{{"apps", std::move(list)}, {"swept", sweepNow}, {"notifications", notices}});
    return status;
  }
  if (seen.empty()) {
    out << "No moved app has been reinstalled or changed by an installer.\n";
    return status;
  }
  for (const auto& m : seen) {
    out << curly(m.displayName) << " (" << m.originalPath << ", move " << m.id << "):\n";
    for (const auto& e : m.externalModifications) {
      out << "  " << isots(e.detectedAt) << "  " << kindText(e.kind);
      if (e.actionTaken) out << " \u2014 " << actionText(*e.actionTaken);
      out << "\n";
    }
    if (m.nextReRelocateAttemptAt) {
      out << "  next automatic try after " << isots(*m.nextReRelocateAttemptAt) << " ("
          << m.consecutiveReRelocateFailures << " failed so far)\n";
    }
  }
  return status;
}

namespace {

std::vector<std::string> addedPermissions(const apps::PendingEntitlementReview& r) {
  std::vector<std::string> added;
  for (const auto& name : r.permissionsNow) {
    if (std::ranges::find(r.permissionsBefore, name) == r.permissionsBefore.end()) {
      added.push_back(name);
    }
  }
  return added;
}

std::string joined(const std::vector<std::string>& names) {
  return names.empty() ? "none" : joinedWith(names, ", ");
}

// The review a user named by its move id or the app's name.
const apps::PendingEntitlementReview* reviewNamed(
    const std::map<std::string, apps::PendingEntitlementReview>& reviews,
    const std::string& idOrName) {
  for (const auto& [id, review] : reviews) {
    if (id == idOrName || lower(review.displayName) == lower(idOrName)) return &review;
  }
  return nullptr;
}

}  // namespace

int appsReviewCommand(AppMoveCommandHost& host, const std::string& idOrName, ReviewAnswer answer,
                      bool asJson) {
  std::ostream& out = host.apps.out;
  std::ostream& err = host.apps.err;
  json notices = json::array();
  apps::ReinstallSweep sweep(sweepSetup(host, notices, asJson));
  const auto& reviews = sweep.pendingReviews();
  if (answer == ReviewAnswer::kNone) {
    if (asJson) {
      json list = json::array();
      for (const auto& [id, r] : reviews) {
        list.push_back({{"id", id},
                        {"name", r.displayName},
                        {"originalPath", r.originalPath},
                        {"permissionsBefore", r.permissionsBefore},
                        {"permissionsNow", r.permissionsNow},
                        {"title", r.displayName + " needs permission review"},
                        {"body", apps::entitlementReviewBody(addedPermissions(r))}});
      }
      out << versionedText(json{{"reviews", std::move(list)}});
      return 0;
    }
    if (reviews.empty()) {
      out << "No reinstalled app is waiting for a permission review.\n";
      return 0;
    }
    for (const auto& [id, r] : reviews) {
      if (!idOrName.empty() && reviewNamed(reviews, idOrName) != &r) continue;
      out << r.displayName
          << " needs permission review: " << apps::entitlementReviewBody(addedPermissions(r))
          << "\n"
          << "  " << r.originalPath << ", move " << id << "\n"
          << "  permissions before: " << joined(r.permissionsBefore) << "\n"
          << "  permissions now: " << joined(r.permissionsNow) << "\n"
          << "  Approve and move it to the fast drive with `brimvale apps review " << id
          << " --approve`, or keep it on the internal disk with `brimvale apps review " << id
          << " --keep-internal`.\n";
    }
    return 0;
  }
  const auto* review = reviewNamed(reviews, idOrName);
  if (!review) {
    err << "No permission review is waiting for " << curly(idOrName)
        << ". `brimvale apps review` lists the ones that are. Nothing was changed.\n";
    return 1;
  }
  const apps::PendingEntitlementReview named = *review;
  if (answer == ReviewAnswer::kApprove) {
    const std::string plan = "Allow the new permissions of " + curly(named.displayName) +
                             " and move it from " + named.originalPath +
                             " to your fast drive, leaving a link in its place.";
    if (const Verdict verdict = decide(host.confirm, plan); verdict != Verdict::kGo) {
      return stoppedStatus(verdict);
    }
    repairInterrupted(host, sweep.engine());
  }
  std::optional<apps::EngineCompletion> moved;
  sweep.engine().addCompletionListener([&](const apps::EngineCompletion& done) { moved = done; });
  Result<void> answered;
  {
    const InterruptNotice notice;
    answered = sweep.answerReview(named.manifestID, answer == ReviewAnswer::kApprove);
  }
  if (!answered) {
    err << "The review of " << curly(named.displayName) << " could not be recorded ("
        << answered.error().message() << "). Nothing was changed; the app stays at "
        << named.originalPath << ".\n";
    return 1;
  }
  if (answer == ReviewAnswer::kKeepInternal) {
    out << curly(named.displayName) << " stays on your internal disk at " << named.originalPath
        << "; Brimvale will not move this install again.\n";
    return 0;
  }
  if (moved && moved->success) return 0;  // its sentence is printed by the sweep
  err << "You approved the new permissions of " << curly(named.displayName)
      << ", but it could not be moved to the fast drive yet."
      << whereTheAppIs(named.displayName, named.originalPath, host.env.paths)
      << " Brimvale tries again on its own later.\n";
  return 1;
}

bool isAppMoveAction(std::string_view action) {
  return std::ranges::find(kAppMoveActions, action) != kAppMoveActions.end();
}

int runAppMoveAction(AppsCommandHost& apps, const AppsOptions& o, const StatePaths& paths,
                     const std::string& computerName, ConfirmHook confirm) {
  const bool needsTarget = o.action == "move" || o.action == "move-back" || o.action == "offload";
  if (needsTarget && o.bundle.empty()) {
    apps.err << "Name the app, e.g. `brimvale apps " << o.action
             << (o.action == "move-back" ? " ID" : " NAME") << "`. Nothing was changed.\n";
    return 2;
  }
  AppLog log(paths.root / "brimvale.log", systemClock(), nullptr);
  const auto tools = platform::makeHostAppRelocationTools(log.sink(), apps.run);
  const apps::AppManifestStore store(paths.appMovesFolder, log.sink(), systemClock());
  const apps::OffloadRecordStore offloads(apps::offloadsFolder(paths), log.sink());
  const auto drive = configuredDrive(paths);
  AppMoveCommandHost host{
      .apps = apps,
      .env = apps::AppMoveEnvironment::forHome(paths.home, computerName, *tools, store, log.sink()),
      .workingFolder = drive ? workingFolderFor(*drive, computerName) : fs::path(),
      .offload = {.home = paths.home,
                  .workingFolder = {},
                  .freeBytes = apps::volumeFreeBytes,
                  .quitApp = [](const apps::AppEntry& app) -> Result<void> {
                    if (!app.running) return {};
                    return fail(Errc::kUnavailable, app.displayName + " is running");
                  },
                  .tools = tools.get(),
                  .records = &offloads,
                  .trash = platform::hostTrashPlaces(paths.home),
                  .log = log.sink(),
                  .clock = systemClock()},
      .confirm = std::move(confirm)};
  if (o.action == "move") return appsMoveCommand(host, o.bundle, o.overrideRisk);
  if (o.action == "move-back") return appsMoveBackCommand(host, o.bundle);
  if (o.action == "moved") return appsMovedCommand(host, o.json);
  if (o.action == "offload") return appsOffloadCommand(host, o.bundle);
  if (o.action == "restore") return appsRestoreCommand(host, o.bundle);
  if (o.action == "review") {
    if (o.approve && o.keepInternal) {
      apps.err << "Choose one of --approve and --keep-internal. Nothing was changed.\n";
      return 2;
    }
    if ((o.approve || o.keepInternal) && o.bundle.empty()) {
      apps.err << "Name the app whose review you answer, e.g. `brimvale apps review ID "
               << (o.approve ? "--approve" : "--keep-internal") << "`. Nothing was changed.\n";
      return 2;
    }
    return appsReviewCommand(host, o.bundle,
                             o.approve        ? ReviewAnswer::kApprove
                             : o.keepInternal ? ReviewAnswer::kKeepInternal
                                              : ReviewAnswer::kNone,
                             o.json);
  }
  return appsReinstallsCommand(host, o.sweep, o.json);
}

}  // namespace brimvale::app
