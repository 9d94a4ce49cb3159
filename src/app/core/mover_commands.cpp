#include "app/core/mover_commands.h"

#include "app/core/json_output.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <iostream>

#include "app/core/in_use_choice.h"
#include "app/core/move_cancel_command.h"
#include "app/core/move_progress_printer.h"
#include "app/core/relocated_command.h"
#include "app/core/service_command.h"
#include "app/core/short_id.h"
#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/process.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/configured_drive.h"
#include "common/state/move_scope.h"
#include "common/state/only_copy_notice.h"
#include "mover/link_census.h"
#include "mover/relink.h"
#include "mover/safety_checks.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using mover::MoveManifest;
using mover::MovePhase;

constexpr std::chrono::seconds kLockWait{5};
constexpr std::chrono::seconds kDriveSetUpLimit{60};

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

// A first relocation onto a drive sets it up as `brimvale prep-drive` does
// (the service's recover writes the layout and the marker), so the drive
// counts as set up for the automatic work. Before the service is installed
// the move goes on and the drive is set up later.
void setUpDriveForFirstMove(MoverCommandContext& c, const fs::path& working) {
  if (pathExists(working / kMarkerFileName).value_or(true)) return;
  if (!c.run || !serviceProgramInstalled(c.paths)) return;
  const ProcessResult recovered =
      runServiceCommand(c.run, c.paths, "", {"recover"}, kDriveSetUpLimit);
  if (recovered.succeeded()) return;
  c.err << "Brimvale couldn't set the drive up for its automatic work (the service's recover "
        << recovered.describe() << "); the move goes on and your files are safe. Run `brimvale "
        << "prep-drive` afterwards to set it up.\n";
}

std::optional<fs::path> normalised(const std::string& path) { return normalisedAbsolute(path); }

// The first name a fresh claim would give, without claiming it.
std::string firstFreeTarget(const fs::path& parent, const std::string& name) {
  for (int n = 0;; ++n) {
    const fs::path candidate = parent / (n == 0 ? name : name + "." + std::to_string(n));
    if (!entryPresent(candidate.string())) return candidate.string();
  }
}

// A refusal of `reason` about `subject`.
MoveCheckRefusal refusal(MoveCheckRefusal::Reason reason, std::string subject = {}) {
  return MoveCheckRefusal{.reason = reason, .subject = std::move(subject)};
}

// Why the relocator lock was not taken: another move holds it, or the lock
// file itself could not be used (which says nothing about other moves).
MoveCheckRefusal lockRefusal(const Error& error, const StatePaths& paths) {
  if (error.code == Errc::kTimedOut) {
    MoveCheckRefusal busy = refusal(MoveCheckRefusal::Reason::kBusy);
    busy.detail = error.detail;
    return busy;
  }
  MoveCheckRefusal unusable =
      refusal(MoveCheckRefusal::Reason::kLockUnusable, (paths.state / "apps-relocator").string());
  unusable.detail = error.detail;
  return unusable;
}

// The conflict policy `--policy` names (empty: merge); nothing for an unknown name.
std::optional<mover::MoveConflictPolicy> policyNamed(const std::string& name) {
  if (name.empty() || name == "merge") return mover::MoveConflictPolicy::kMerge;
  if (name == "override") return mover::MoveConflictPolicy::kOverride;
  if (name == "merge-keep-newer") return mover::MoveConflictPolicy::kMergeKeepNewer;
  return std::nullopt;
}

// One of the two paths is the other or lies inside it.
bool overlaps(const fs::path& a, const fs::path& b) {
  return a == b || isStrictlyInside(a, b) || isStrictlyInside(b, a);
}

// --to: the folder that receives the copy must lie inside the working
// folder, links followed, and the copy must not land on or in another
// move's copy (a merge would overwrite files its links lead to, an override
// would delete them). Sets `checks.relocated`, or the refusal.
void chooseDestination(MoverCommandContext& c, const MoveOptions& o, MoveChecks& checks) {
  using Reason = MoveCheckRefusal::Reason;
  std::string given = fs::absolute(o.to).lexically_normal().string();
  while (given.size() > 1 && given.back() == '/') given.pop_back();
  std::error_code ec;
  const fs::path working = fs::weakly_canonical(checks.working, ec);
  const fs::path real = ec ? fs::path() : fs::weakly_canonical(given, ec);
  if (ec || !isStrictlyInside(real, working)) {
    MoveCheckRefusal r = refusal(Reason::kDestinationOutside, given);
    r.target = checks.working.string();
    checks.refusal = std::move(r);
    return;
  }
  checks.relocated = checks.working / real.lexically_relative(working);
  checks.destinationChosen = true;
  const fs::path copy = checks.relocated / fs::path(checks.src).filename();
  struct stat st {};
  if (lstat(copy.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    checks.refusal = refusal(Reason::kDestinationIsLink, copy.string());
    return;
  }
  // Relocated also holds copies the background service made, which no record
  // here describes: an existing one there is never merged into or replaced.
  const fs::path relocatedFolder = checks.working / "Relocated";
  if (lstat(copy.c_str(), &st) == 0 && isStrictlyInside(copy, relocatedFolder)) {
    checks.refusal = refusal(Reason::kDestinationInUse, copy.string());
    return;
  }
  for (const auto& r : mover::ManifestStore(c.paths.state, {}, systemClock()).all()) {
    const auto other = normalised(r.finalDst);
    if (!other || normalised(r.src) == fs::path(checks.src) || !overlaps(copy, *other)) continue;
    MoveCheckRefusal inUse = refusal(Reason::kDestinationInUse, copy.string());
    inUse.target = other->string();
    inUse.moveId = r.id;
    checks.refusal = std::move(inUse);
    return;
  }
}

// An unfinished move continues only as it was started: options that would
// send it elsewhere or change what it does are refused, not ignored.
void checkUnfinishedMatches(const MoveOptions& o, MoveChecks& checks) {
  const MovePlan& plan = *checks.plan;
  if (plan.kind != MovePlan::Kind::kContinue && plan.kind != MovePlan::Kind::kFinish) return;
  const MoveManifest& job = *plan.job;
  const bool sameDestination =
      !checks.destinationChosen || normalised(job.dstParent) == checks.relocated;
  const bool samePolicy = o.policy.empty() || policyNamed(o.policy) == job.conflictPolicy;
  const bool sameLinks = !o.noLinks || !job.replaceSourceWithSymlink;
  if (sameDestination && samePolicy && sameLinks) return;
  MoveCheckRefusal r = refusal(MoveCheckRefusal::Reason::kUnfinishedDiffers, checks.src);
  r.target = job.finalDst;
  r.moveId = job.id;
  checks.plan.reset();
  checks.refusal = std::move(r);
}

// The checks of a new move that depend on what the folder holds: fills in
// what they found, and the refusal when the move must not be queued.
// `plan` gets the folder's size as the mover measures it and what it takes
// on disk.
void checkContents(MoverCommandContext& c, const MoveOptions& o, MoveChecks& checks,
                   MovePlan& plan) {
  const std::string& src = checks.src;
  // The in-use probe reads other processes, beside the checks below; the
  // folder itself was surveyed once, when the move was planned.
  auto inUse =
      std::async(std::launch::async, [src, run = c.run]() -> std::vector<mover::FolderInUseEntry> {
#ifdef __linux__
        return mover::FolderInUseProbe::procScanner().scan(src);
#else
    const std::string lsof = findExecutable("lsof");
    if (lsof.empty()) return {};
    return mover::FolderInUseProbe(run, lsof).scan(src);
#endif
      });
  mover::MoverSettings settings(c.host.defaults.get());
  const std::optional<TreeSurvey>& survey = plan.survey;
  auto recent =
      mover::recentWriteReport(survey, settings.recentWriteWindowHours(), std::time(nullptr));
  checks.users = inUse.get();
  const bool guarded = settings.recentWriteGuardEnabled() && !o.bypassRecentWriteGuard;
  if (recent.triggered && guarded && o.dryRun) {
    checks.heldByRecentWrite = recent;
  } else if (recent.triggered && guarded) {
    MoveCheckRefusal r = refusal(MoveCheckRefusal::Reason::kRecentWrites);
    r.detail = recent.message();
    checks.refusal = std::move(r);
    return;
  } else if (recent.triggered) {
    checks.unguardedRecentWrite = recent;
    checks.recentWriteGuardBypassed = settings.recentWriteGuardEnabled();
  }
  const auto srcCase =
      mover::caseSensitivity(mover::caseProbeFolders(volumeRootOf(src), c.paths.home));
  const auto dstCase =
      mover::caseSensitivity(mover::caseProbeFolders(volumeRootOf(checks.mount), c.paths.home));
  if (srcCase == mover::VolumeCaseSensitivity::kSensitive &&
      dstCase == mover::VolumeCaseSensitivity::kInsensitive) {
    auto collisions = mover::caseCollisions(src);
    if (!collisions.empty()) {
      MoveCheckRefusal r = refusal(MoveCheckRefusal::Reason::kCaseCollisions);
      r.collisions = std::move(collisions);
      checks.refusal = std::move(r);
      return;
    }
  }
  plan.bytes = survey ? survey->allocatedBytes : 0;
  plan.apparentBytes = survey ? survey->apparentBytes : 0;
  if (survey) plan.sizeKB = mover::kibRoundedUp(survey->apparentBytes);
  struct statvfs vfs {};
  if (statvfs(checks.mount.c_str(), &vfs) == 0) {
    const std::uint64_t free = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    checks.driveFreeBytes = free;
    if (plan.bytes > free) {
      checks.refusal = refusal(MoveCheckRefusal::Reason::kNoSpace, mover::quotedName(src));
    }
  }
}

// Decides what to do with `checks.src` from the records and the folder
// itself: the plan, or the refusal when it must not move.
void planMove(MoverCommandContext& c, MoveChecks& checks) {
  const std::string& src = checks.src;
  const fs::path& working = checks.working;
  const std::string shown = homeRelative(src, c.paths.home);
  struct stat st {};
  (void)lstat(src.c_str(), &st);
  if (S_ISLNK(st.st_mode)) {
    const auto link = readSymlink(src);
    fs::path target = link.value_or(fs::path());
    if (target.is_relative()) target = fs::path(src).parent_path() / target;
    const fs::path standard = target.lexically_normal();
    // With --to, only a link to exactly {to}/{name} is that move's copy.
    if (link && standard.parent_path() == checks.relocated &&
        (!checks.destinationChosen || standard.filename() == fs::path(src).filename())) {
      checks.plan = MovePlan{.kind = MovePlan::Kind::kNoop};
      return;
    }
    const bool onDrive =
        link.has_value() && (standard == working || isStrictlyInside(standard, working));
    MoveCheckRefusal r = refusal(
        onDrive ? MoveCheckRefusal::Reason::kLinkToDrive : MoveCheckRefusal::Reason::kLinkElsewhere,
        shown);
    if (link) r.target = standard.string();
    checks.refusal = std::move(r);
    return;
  }
  mover::ManifestStore store(c.paths.state, {}, systemClock());
  const auto records = store.all();
  const fs::path self(src);
  const MoveManifest* unfinished = nullptr;
  const MoveManifest* failed = nullptr;
  const MoveManifest* done = nullptr;
  for (const auto& r : records) {
    const auto rsrc = normalised(r.src);
    if (!rsrc) continue;
    if (*rsrc == self) {
      if (!mover::isTerminal(r.phase) && !unfinished) unfinished = &r;
      if (r.phase == MovePhase::kFailed && !failed) failed = &r;
      if (r.phase == MovePhase::kDone && !done) done = &r;
      continue;
    }
    // Two moves over one tree would relink each other's files.
    if (!mover::isTerminal(r.phase) &&
        (isStrictlyInside(self, *rsrc) || isStrictlyInside(*rsrc, self))) {
      MoveCheckRefusal overlap = refusal(MoveCheckRefusal::Reason::kOverlap, shown);
      overlap.target = homeRelative(r.src, c.paths.home);
      overlap.moveId = r.id;
      checks.refusal = std::move(overlap);
      return;
    }
  }
  if (unfinished) {
    checks.plan = MovePlan{.kind = MovePlan::Kind::kContinue, .job = *unfinished};
    return;
  }
  if (failed && failed->replaceSourceWithSymlink) {
    auto census = mover::takeLinkCensus(src, {failed->finalDst});
    if (census && census->linksInto[0] > 0) {
      checks.plan = MovePlan{.kind = MovePlan::Kind::kFinish,
                             .job = *failed,
                             .files = census->files,
                             .linked = census->linksInto[0]};
      return;
    }
  }
  auto [survey, census] = mover::surveyWithLinkCensus(src, {working});
  if (!census) {
    checks.refusal = refusal(MoveCheckRefusal::Reason::kUnreadable, shown);
    return;
  }
  if (census->linksInto[0] > 0) {
    // Copying these links would put each one over the file it points to.
    MoveCheckRefusal r = refusal(MoveCheckRefusal::Reason::kAlreadyOnDrive, shown);
    r.everyFile = census->regularFiles == 0;
    r.count = census->linksInto[0];
    r.target = working.string();
    r.example = *census->exampleInto[0];
    if (done) r.moveId = done->id;
    checks.refusal = std::move(r);
    return;
  }
  checks.plan =
      MovePlan{.kind = MovePlan::Kind::kNew, .files = census->files, .survey = std::move(survey)};
}

// The sentences of a refusal, newline-terminated.
std::string refusalText(const MoveCheckRefusal& r) {
  using Reason = MoveCheckRefusal::Reason;
  switch (r.reason) {
    case Reason::kNothingThere:
      return "There is nothing at " + r.subject +
             ". Nothing was moved; check the path and try again.\n";
    case Reason::kBusy:
      return r.detail +
             " Nothing was moved; your folder is untouched. Try again when it has finished.\n";
    case Reason::kLockUnusable:
      return r.detail +
             " Brimvale couldn't use the lock that keeps two moves apart, so nothing was moved; "
             "your data is safe. Check that " +
             r.subject + " exists and can be written, then try again.\n";
    case Reason::kLinkOutsidePolicy: return r.detail + "\n";
    case Reason::kOutOfScope:
      return r.detail +
             (r.suggestAllowRoot
                  ? " To move a folder that lies outside your home folder, name the folder that "
                    "holds it with --allow-root."
                  : "") +
             "\n";
    case Reason::kDriveUnknown: return r.detail + "\n";
    case Reason::kDriveMissing:
      return "The fast drive isn't connected at " + r.subject +
             ". Nothing was moved; your folder is untouched. Connect the drive and try again.\n";
    case Reason::kLinkToDrive:
      return r.subject + " is a link to " + r.target +
             ", which is on the drive already, so there is nothing to move. Nothing was changed.\n";
    case Reason::kLinkElsewhere:
      return r.subject + " is a link to " +
             (r.target.empty() ? std::string("something Brimvale can't read") : r.target) +
             "; Brimvale moves folders, not links to them. Move the folder it points to if that "
             "is what you mean. Nothing was changed.\n";
    case Reason::kOverlap:
      return "An unfinished move of " + r.target + " (move " + r.moveId + ") overlaps " +
             r.subject +
             ", so Brimvale won't start another one over it. Nothing was changed. Finish that "
             "move first with `brimvale moves resume`, or stop it with `brimvale moves cancel " +
             shortId(r.moveId) + "`.\n";
    case Reason::kUnreadable:
      return "Brimvale can't read " + r.subject +
             ". Nothing was moved; check its permissions and try again.\n";
    case Reason::kAlreadyOnDrive:
      return r.subject + " is already on the drive" +
             (r.everyFile ? ": every file in it is a link to its copy in "
                          : " in part: " + filesWord(r.count) + " in it are links to copies in ") +
             r.target + " (for example " + r.example + ")" +
             (r.moveId.empty() ? std::string() : ", from move " + r.moveId) +
             ". Moving it again would copy those links onto the drive, so Brimvale left it as it "
             "is. Nothing was changed.\n";
    case Reason::kRecentWrites:
      return r.detail + "\nNothing was moved; your folder is untouched.\n";
    case Reason::kCaseCollisions: {
      std::string text =
          "These names differ only in letter case and cannot both exist on the drive:\n";
      for (const auto& col : r.collisions) text += "  " + col.first + "\n  " + col.second + "\n";
      return text +
             "Nothing was moved; your folder is untouched. Rename one of each pair and try "
             "again.\n";
    }
    case Reason::kNoSpace:
      return "There isn't enough free space on the drive for " + r.subject +
             ". Nothing was moved; your folder is untouched. Free some space on the drive and "
             "try again.\n";
    case Reason::kDestinationOutside:
      return r.subject + " is not inside Brimvale's folder on the drive (" + r.target +
             "), so Brimvale won't copy there. Nothing was moved; your folder is untouched. "
             "Name a folder inside " +
             r.target + " with --to.\n";
    case Reason::kDestinationIsLink:
      return r.subject +
             " is a link, and Brimvale won't copy through a link. Nothing was moved; your folder "
             "is untouched. Name another folder with --to.\n";
    case Reason::kDestinationInUse:
      return "The copy would go to " + r.subject +
             (r.moveId.empty() ? ", which holds the copy of an earlier relocation"
                               : ", which overlaps " + r.target +
                                     ", the copy of another move (move " + r.moveId + ")") +
             ". Brimvale won't copy onto another move's copy. Nothing was moved; your folder and "
             "that copy are untouched. Name another folder with --to.\n";
    case Reason::kUnfinishedDiffers:
      return "An unfinished move of " + r.subject + " to " + r.target + " (move " + r.moveId +
             ") was started with other options, and Brimvale continues a move only as it was "
             "started. Nothing was changed. Run the same command without --to, --policy and "
             "--no-links to continue it, or stop it with `brimvale moves cancel " +
             shortId(r.moveId) + "`.\n";
  }
  return {};
}

// The plan of a move, in plain words.
std::string planText(const MoveChecks& checks, const MoveOptions& o, const std::string& shown) {
  const MovePlan& plan = *checks.plan;
  switch (plan.kind) {
    case MovePlan::Kind::kNew: {
      const fs::path copy = checks.relocated / fs::path(checks.src).filename();
      // Said before the question: an override deletes what the user may still want.
      const std::string wipe =
          checks.destinationChosen && o.policy == "override" && entryPresent(copy.string())
              ? copy.string() + " is there already and will be deleted first (--policy override). "
              : std::string();
      return wipe + (o.noLinks ? "Move " : "Relocate ") + filesWord(plan.files) + " (" +
             platform::formatFileByteCount(static_cast<std::int64_t>(plan.apparentBytes)) +
             ") from " + shown + " to " +
             (checks.destinationChosen ? checks.relocated.string() : std::string("the drive")) +
             (o.noLinks ? ", leaving no link behind." : ".");
    }
    case MovePlan::Kind::kNoop: return "";
    case MovePlan::Kind::kContinue:
      return "An earlier move of " + shown + " to the drive stopped while " +
             std::string(mover::phaseWords(plan.job->phase)) + " (move " + plan.job->id +
             "); it continues from there.";
    case MovePlan::Kind::kFinish:
      return "An earlier move of " + shown +
             " to the drive stopped half-way through replacing its files with " + "links (" +
             filesWord(plan.linked) + " already link to the copy; move " + plan.job->id +
             "); it is finished now.";
  }
  return "";
}

// Under the relocator lock: forgets the record of one move that ended. Only
// the record goes; the files stay where the move left them.
int clearMove(MoverCommandContext& c, const std::string& idPrefix) {
  mover::ManifestStore store(c.paths.state, {}, systemClock());
  const std::string prefix = asciiUpper(idPrefix);
  std::vector<MoveManifest> matches;
  for (auto& m : store.all()) {
    if (m.id.starts_with(prefix)) matches.push_back(std::move(m));
  }
  if (matches.size() != 1) {
    c.err << "No single move matches \"" << idPrefix
          << "\"; `brimvale moves` lists them. Nothing was changed.\n";
    return 2;
  }
  const MoveManifest& job = matches.front();
  const std::string name = homeRelative(job.src, c.paths.home);
  if (!mover::isTerminal(job.phase)) {
    c.err << "The move of " << name << " (move " << job.id << ") hasn't ended ("
          << mover::phaseWords(job.phase)
          << "), and its record is what lets Brimvale finish it safely, so it was kept. Nothing "
             "was changed. Let it finish with `brimvale moves resume`, or stop it with `brimvale "
             "moves cancel "
          << shortId(job.id) << "` first.\n";
    return 1;
  }
  if (job.phase == MovePhase::kFailed && entryPresent(job.src) && partlyRelinked(job)) {
    c.err << "The move of " << name << " (move " << job.id
          << ") stopped half-way through replacing its files with links, and its record is what "
             "lets Brimvale finish that safely, so it was kept. Nothing was changed. Finish it "
             "with: brimvale move "
          << shellQuoted(job.src) << " --yes\n";
    return 1;
  }
  store.remove(job.id);
  // Read back: a record kept in a file not named after its id is still there.
  const auto left = store.all();
  if (std::any_of(left.begin(), left.end(), [&](const auto& m) { return m.id == job.id; })) {
    c.err << "Brimvale couldn't remove the record of move " << job.id << " from "
          << store.folder().string()
          << " (its file can't be removed, or is not named after the move). Nothing else was "
             "changed; your data is safe. Check that folder, then try again.\n";
    return 1;
  }
  c.out << "Cleared move " << job.id << " (" << mover::phaseWords(job.phase) << ") from the list. "
        << "Nothing on disk was changed; its files stay where the move left them.\n";
  return 0;
}

// The finished relocation `idPrefix` names alone, if it names one.
std::optional<MoveManifest> finishedRelocation(MoverCommandContext& c,
                                               const std::string& idPrefix) {
  const std::string prefix = asciiUpper(idPrefix);
  std::vector<MoveManifest> matches;
  for (auto& m : mover::ManifestStore(c.paths.state, {}, systemClock()).all()) {
    if (!prefix.empty() && m.id.starts_with(prefix)) matches.push_back(std::move(m));
  }
  if (matches.size() != 1) return std::nullopt;
  const MoveManifest& m = matches.front();
  if (m.phase != MovePhase::kDone || !m.replaceSourceWithSymlink ||
      m.triggerSource != mover::MoveTriggerSource::kUserMove) {
    return std::nullopt;
  }
  return m;
}

}  // namespace

MoveChecks checkMove(MoverCommandContext& c, const MoveOptions& o, mover::RelocatorLock& lock) {
  MoveChecks checks;
  // The configuration says where the drive is, never the status snapshot:
  // without a drive it names there is nowhere to move to.
  auto drive = configuredDrive(c.paths);
  if (!drive) {
    checks.refusal = refusal(MoveCheckRefusal::Reason::kDriveUnknown);
    checks.refusal->detail = driveUnknownMessage(drive.error(), c.paths);
    return checks;
  }
  checks.mount = *drive;
  std::string& src = checks.src;
  src = fs::absolute(o.folder).lexically_normal().string();
  while (src.size() > 1 && src.back() == '/') src.pop_back();
  struct stat st {};
  if (lstat(src.c_str(), &st) != 0) {
    checks.refusal = refusal(MoveCheckRefusal::Reason::kNothingThere, src);
    return checks;
  }
  for (const auto& root : o.allowedRoots)
    checks.extraRoots.push_back(fs::absolute(root).lexically_normal());
  // The lock first: a second `brimvale move` of the same folder (a double
  // click) must see what the first one did, not what was there before it.
  if (auto locked = lock.acquire(kLockWait); !locked) {
    checks.refusal = lockRefusal(locked.error(), c.paths);
    return checks;
  }
  stopPoint("move:locked");
  checks.working = workingFolderFor(checks.mount, c.computerName);
  checks.relocated = checks.working / "Relocated";
  MoveScope scope(
      {c.paths.home, checks.mount, checks.working, checks.extraRoots, [&c](const fs::path& p) {
         return (c.mounts && c.mounts->isMountedAt(p.string())) || MoveScope::deviceChangesAt(p);
       }});
  // A link is judged where it lies, not where it leads: one that already
  // leads to its copy is only recorded (planMove), nothing is moved through it.
  if (S_ISLNK(st.st_mode)) {
    PathPolicyRoots roots;
    roots.home = c.paths.home;
    roots.extraRoots = checks.extraRoots;
    if (auto allowed = PathPolicy(std::move(roots)).check(src); !allowed) {
      checks.refusal = refusal(MoveCheckRefusal::Reason::kLinkOutsidePolicy);
      checks.refusal->detail = allowed.error().sentence();
      return checks;
    }
  } else if (auto scoped = scope.check(src, MoveDirection::kToDrive); !scoped) {
    checks.refusal = refusal(MoveCheckRefusal::Reason::kOutOfScope);
    checks.refusal->detail = scoped.error().sentence();
    checks.refusal->suggestAllowRoot =
        scoped.error().reason == MoveRefusalReason::kPath &&
        scoped.error().pathRefusal.reason == PathRefusalReason::kOutsideRoots;
    return checks;
  }
  if (!fs::is_directory(checks.mount) ||
      (c.mounts && !c.mounts->isMountedAt(checks.mount.string()))) {
    checks.refusal = refusal(MoveCheckRefusal::Reason::kDriveMissing, checks.mount.string());
    return checks;
  }
  if (!o.to.empty()) {
    chooseDestination(c, o, checks);
    if (checks.refusal) return checks;
  }
  planMove(c, checks);
  if (checks.plan) checkUnfinishedMatches(o, checks);
  if (checks.plan && checks.plan->kind == MovePlan::Kind::kNew)
    checkContents(c, o, checks, *checks.plan);
  return checks;
}

void renderMoveChecks(const MoveChecks& checks, std::ostream& out, std::ostream& err) {
  if (!checks.users.empty()) {
    out << "Apps using files in this folder (quit them first for the cleanest copy):\n";
    for (const auto& u : checks.users) {
      std::string pids;
      for (int p : u.pids) pids += (pids.empty() ? "" : ", ") + std::to_string(p);
      out << "  " << u.displayName << " (pid " << pids << ")\n";
    }
  }
  if (const auto& recent = checks.unguardedRecentWrite) {
    out << "Recent writes in this folder: " << recent->path << " was modified "
        << mover::ageText(recent->ageSeconds)
        << (checks.recentWriteGuardBypassed ? " (the guard is bypassed for this move).\n"
                                            : " (the guard is off).\n");
  }
  if (checks.driveFreeBytes && checks.plan) {
    out << "Folder size "
        << platform::formatFileByteCount(static_cast<std::int64_t>(checks.plan->apparentBytes))
        << " (" << platform::formatFileByteCount(static_cast<std::int64_t>(checks.plan->bytes))
        << " on disk) · free on the drive "
        << platform::formatFileByteCount(static_cast<std::int64_t>(*checks.driveFreeBytes)) << "\n";
  }
  if (checks.refusal) err << refusalText(*checks.refusal);
}

int moveCommand(MoverCommandContext& c, const MoveOptions& o) {
  std::optional<mover::VerificationLevel> level;
  if (!o.verify.empty()) level = mover::verificationLevelFromRaw(o.verify);
  const auto policy = policyNamed(o.policy);
  if (!policy) {
    c.err << "Unknown conflict policy \"" << o.policy
          << "\": use --policy merge, override or merge-keep-newer. Nothing was moved.\n";
    return 2;
  }
  mover::RelocatorLock lock(c.paths.state);
  const MoveChecks checks = checkMove(c, o, lock);
  renderMoveChecks(checks, c.out, c.err);
  if (checks.refusal) return 1;
  if (!settleFolderUsers(c, o, checks.src, checks.users)) return 1;
  const std::string& src = checks.src;
  const std::optional<MovePlan>& plan = checks.plan;
  const fs::path& relocated = checks.relocated;
  const std::vector<fs::path>& extraRoots = checks.extraRoots;
  const std::string planned = planText(checks, o, homeRelative(src, c.paths.home));
  const fs::path chosenCopy = relocated / fs::path(src).filename();
  if (o.dryRun) {
    if (!planned.empty()) c.out << planned << "\n";
    if (plan->kind == MovePlan::Kind::kNew && checks.destinationChosen) {
      c.out << "The copy would go to " << chosenCopy.string()
            << (entryPresent(chosenCopy.string())
                    ? ", where something is already: the " +
                          std::string(mover::conflictPolicyRaw(*policy)) +
                          " policy decides what becomes of it"
                    : std::string())
            << ".\n";
    } else if (plan->kind == MovePlan::Kind::kNew) {
      c.out << "The copy would go to "
            << firstFreeTarget(relocated, fs::path(src).filename().string()) << ".\n";
    } else if (plan->kind == MovePlan::Kind::kNoop) {
      c.out << homeRelative(src, c.paths.home)
            << " is a link to its copy on the drive already; it would be "
            << "recorded as relocated.\n";
    }
    if (checks.heldByRecentWrite) {
      c.out << "The real move would be held by the recent-write guard: "
            << checks.heldByRecentWrite->message() << "\n";
    }
    c.out << "Dry run: nothing was changed.\n";
    return 0;
  }
  if (plan->kind != MovePlan::Kind::kNoop) {
    if (const Verdict verdict = decide(c.confirm, planned); verdict != Verdict::kGo)
      return stoppedStatus(verdict);
  }
  if (plan->kind == MovePlan::Kind::kNew) setUpDriveForFirstMove(c, checks.working);

  RunLoop loop;
  if (c.onMoveLoop) c.onMoveLoop(&loop);
  const std::shared_ptr<void> loopGone(nullptr, [&c](void*) {
    if (c.onMoveLoop) c.onMoveLoop(nullptr);
  });
  MoverHost host(c.paths, c.host.defaults.get(), c.computerName, loop, c.run, c.mounts, level,
                 extraRoots, c.snapshotTool);
  auto& m = host.mover();
  if (c.launcher) m.setOwner(mover::thisProcessOwner(*c.launcher));
  MoveProgressPrinter printer(c.out, c.output);
  m.setPaused(true);
  m.reload();
  followMoves(loop, host, printer);
  std::string id;
  if (plan->kind == MovePlan::Kind::kNew || plan->kind == MovePlan::Kind::kNoop) {
    // A fresh folder of Relocated unless --to named the place on purpose.
    const auto rule = checks.destinationChosen ? mover::MoveTarget::Rule::kAsNamed
                                               : mover::MoveTarget::Rule::kClaimFresh;
    auto queued =
        m.enqueue(src, relocated.string(), *policy, !o.noLinks, mover::MoveTriggerSource::kUserMove,
                  plan->sizeKB, mover::MoveTarget{rule, {}});
    id = *queued;
    if (plan->kind == MovePlan::Kind::kNew)
      printer.knowTotal(id, static_cast<std::int64_t>(plan->apparentBytes));
    if (plan->kind == MovePlan::Kind::kNoop && m.job(id)->phase == MovePhase::kDone) {
      c.out << homeRelative(src, c.paths.home) << " is already a link to its copy at "
            << m.job(id)->finalDst << "; nothing was copied, and it is now listed as relocated.\n";
      return 0;
    }
    c.out << "Move " << id << " queued.\n";
  } else {
    id = plan->job->id;
    const MoveManifest* job = m.job(id);
    if (!job) {
      c.err << "The record of move " << id
            << " could not be read again. Nothing was changed; run `brimvale moves` "
            << "to see it.\n";
      return 1;
    }
    if (plan->kind == MovePlan::Kind::kFinish && !m.finishPartialRelocation(id)) {
      if (auto refusal = m.resumeRefusal(*m.job(id))) {
        c.err << *refusal << "\n";
      } else {
        c.err << "Brimvale didn't finish the move of " << homeRelative(src, c.paths.home)
              << ": the drive connected now is not the one it copied to. Nothing was changed; "
                 "every file is still "
                 "there, as itself or as a link to its copy. Connect that drive and try again.\n";
      }
      return 1;
    }
    if (mover::isTerminal(m.job(id)->phase))
      return reportOutcome(c, *m.job(id));  // refused when read again
    c.out << (plan->kind == MovePlan::Kind::kFinish ? "Finishing" : "Continuing") << " move " << id
          << ".\n";
  }
  loop.post([&] { m.setPaused(false); });
  if (int signal = runUntilSettled(loop, host, printer))
    return stopMoves(c, loop, host, printer, signal);
  return reportOutcome(c, *m.job(id), &m);
}

// "1.5 GB, started 2026-03-01 09:15" for the list; a size not measured yet says so.
std::string sizeAndDate(const mover::MoveManifest& m) {
  const std::string size =
      m.srcSizeKB > 0 ? platform::formatFileByteCount(m.srcSizeKB * 1024) : "size not measured yet";
  return size + ", started " + localMinute(m.startedAt);
}

int movesCommand(MoverCommandContext& c, const std::string& action, const std::string& id,
                 const std::vector<std::string>& allowedRoots) {
  if (action.empty()) {
    mover::ManifestStore store(c.paths.state, {}, systemClock());
    const auto all = mover::listedMoves(store.all());
    if (all.empty()) c.out << "No folder moves yet.\n";
    for (const auto& j : all) {
      c.out << j.id << "  " << mover::phaseWords(j.phase) << "  " << j.src << " → " << j.finalDst
            << "  (" << sizeAndDate(j) << ")\n";
      if (j.phase == MovePhase::kFailed) {
        const std::string last = j.lastError.value_or("");
        if (j.failure == mover::MoveFailure::kStated) {
          c.out << "    " << last << "\n";
        } else {
          c.out << "    " << mover::userFacingFailure(j) << "\n";
          if (!last.empty()) c.out << "    Details: " << last << "\n";
        }
        if (j.failure == mover::MoveFailure::kPartlyRelinked) {
          c.out << "    To finish the move safely, run: brimvale move " << shellQuoted(j.src)
                << " --yes\n";
        }
      } else if (j.lastError) {
        c.out << "    " << *j.lastError << "\n";
      } else if (j.statusMessage) {
        c.out << "    " << *j.statusMessage << "\n";
      }
    }
    return 0;
  }
  if (action != "cancel" && action != "revert" && action != "resume" && action != "clear") {
    c.err << "Unknown action \"" << action << "\": use cancel ID, revert ID, clear ID or resume.\n";
    return 2;
  }
  if (action == "clear" && id.empty()) {
    c.err << "Name the move to clear: `brimvale moves clear ID` (`brimvale moves` lists the ids). "
             "Nothing was changed.\n";
    return 2;
  }
  if (action == "cancel") {
    if (auto stopped = cancelInOwnerCommand(c, id)) return *stopped;
  }
  // A finished relocation goes back as a move back, which puts the link back
  // should it stop; it takes the lock itself.
  if (action == "revert") {
    if (auto relocation = finishedRelocation(c, id))
      return moveBackCommand(c, relocation->id, false);
  }
  mover::RelocatorLock lock(c.paths.state);
  if (auto locked = lock.acquire(std::chrono::milliseconds(0)); !locked) {
    const MoveCheckRefusal why = lockRefusal(locked.error(), c.paths);
    if (why.reason == MoveCheckRefusal::Reason::kBusy) {
      c.err << locked.error().detail
            << " Your data is safe. Stop the other Brimvale move first (Ctrl-C there), then try "
               "again.\n";
    } else {
      c.err << refusalText(why);
    }
    return 1;
  }
  if (action == "clear") return clearMove(c, id);
  // Read before the records are checked again, so a move refused then is reported too.
  std::vector<std::string> resumed;
  for (const auto& j : mover::ManifestStore(c.paths.state, {}, systemClock()).all()) {
    if (!mover::isTerminal(j.phase)) resumed.push_back(j.id);
  }
  std::vector<fs::path> extraRoots;
  for (const auto& root : allowedRoots) extraRoots.push_back(fs::absolute(root).lexically_normal());
  RunLoop loop;
  MoverHost host(c.paths, c.host.defaults.get(), c.computerName, loop, c.run, c.mounts,
                 std::nullopt, extraRoots, c.snapshotTool);
  auto& m = host.mover();
  if (c.launcher) m.setOwner(mover::thisProcessOwner(*c.launcher));
  MoveProgressPrinter printer(c.out, c.output);
  m.setPaused(true);
  m.reload();
  followMoves(loop, host, printer);
  if (action == "resume") {
    std::erase_if(resumed, [&](const std::string& j) { return !m.job(j); });
    std::vector<std::string> failed;
    for (const auto& j : m.jobs()) {
      if (j.phase == MovePhase::kFailed && j.replaceSourceWithSymlink) failed.push_back(j.id);
    }
    for (const auto& failedId : failed) {
      if (m.finishPartialRelocation(failedId)) resumed.push_back(failedId);
    }
    if (resumed.empty()) {
      if (const auto unread = m.store().undecodable(); !unread.empty()) {
        c.err << unread.size() << " move record(s) in " << m.store().folder().string()
              << " can't be read (for example " << unread.front().filename().string()
              << "), so Brimvale can't tell whether a move there is unfinished. Nothing was "
                 "changed; your data is safe. Look at those files, or ask for help with them.\n";
        return 1;
      }
      c.out << "No unfinished folder moves.\n";
      return 0;
    }
    m.setPaused(false);
    if (int signal = runUntilSettled(loop, host, printer))
      return stopMoves(c, loop, host, printer, signal);
    int status = 0;
    for (const auto& resumedId : resumed) {
      if (reportOutcome(c, *m.job(resumedId), &m) != 0) status = 1;
    }
    return status;
  }
  const MoveManifest* job = findJob(m, id);
  if (!job) {
    c.err << "No single move matches \"" << id << "\"; `brimvale moves` lists them.\n";
    return 2;
  }
  const std::string jobId = job->id;
  if (action == "cancel") {
    if (mover::isTerminal(job->phase)) {
      c.err << "That move already ended (" << mover::phaseWords(job->phase)
            << "); nothing to cancel.\n";
      return 1;
    }
    if (auto refused = m.cancel(jobId)) {
      c.err << *refused << " Run `brimvale moves resume` to let it finish.\n";
      return 1;
    }
    const auto records = mover::ManifestStore(c.paths.state, {}, systemClock()).all();
    if (std::none_of(records.begin(), records.end(), [&](const MoveManifest& r) {
          return r.id == jobId && r.phase == MovePhase::kCancelled;
        })) {
      c.err << "Brimvale stopped the move, but couldn't write down in " << c.paths.state.string()
            << " that it was cancelled, so a later run may continue it. Your original is where it "
               "was; free some space there (or make it writable), then cancel it again.\n";
      return 1;
    }
    c.out << "Cancelled. Your original is where it was; any partial copy stays on the drive.\n";
    return 0;
  }
  const std::string revertPlan = "Move " + homeRelative(job->src, c.paths.home) +
                                 " back from the drive (move " + jobId + ", " + sizeAndDate(*job) +
                                 ").";
  if (const Verdict verdict = decide(c.confirm, revertPlan); verdict != Verdict::kGo)
    return stoppedStatus(verdict);
  if (auto refused = m.revert(jobId)) {
    c.err << *refused << "\n";
    return 1;
  }
  const std::string backId = m.jobs().back().id;
  m.setPaused(false);
  if (int signal = runUntilSettled(loop, host, printer))
    return stopMoves(c, loop, host, printer, signal);
  return reportOutcome(c, *m.job(backId));
}

int movesJsonCommand(MoverCommandContext& c) {
  std::string text = "[";
  for (const auto& m :
       mover::listedMoves(mover::ManifestStore(c.paths.state, {}, systemClock()).all()))
    text += (text.size() > 1 ? ",\n" : "\n") +
            versioned(nlohmann::ordered_json::parse(mover::encodeManifest(m))).dump(2);
  c.out << text << "\n]\n";
  return 0;
}

int moveLogCommand(MoverCommandContext& c, const std::string& id, mover::MoverLogDetail detail) {
  mover::MoverLogFile file(c.paths.state);
  for (const auto& line : file.read(id, detail)) c.out << line << "\n";
  return 0;
}

}  // namespace brimvale::app
