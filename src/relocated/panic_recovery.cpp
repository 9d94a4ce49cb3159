#include "relocated/panic_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <set>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/base/walk_below.h"
#include "common/state/parked_names.h"
#include "common/state/path_policy.h"
#include "mover/link_census.h"
#include "mover/safety_checks.h"
#include "mover/verification.h"
#include "platform/byte_count_format.h"
#include "relocated/parked_originals.h"

namespace brimvale::relocated {
namespace fs = std::filesystem;
using mover::MoveManifest;
using mover::MovePhase;

namespace {

constexpr std::chrono::hours kCopyLimit{6};
constexpr std::chrono::seconds kLockWait{5};
constexpr std::string_view kRecordFile = "panic-recovery.json";

std::uint64_t apparentBytes(const fs::path& path) {
  return static_cast<std::uint64_t>(mover::apparentSizeKB(path).value_or(0)) * 1024;
}

std::string bytesText(std::uint64_t bytes) {
  return platform::formatFileByteCount(static_cast<std::int64_t>(bytes));
}

std::string shown(const fs::path& path, const fs::path& home) {
  const fs::path relative = path.lexically_relative(home);
  if (relative.empty() || relative.string().starts_with("..")) return path.string();
  return "~/" + relative.string();
}

// One parked entry as this run sees it: going home, or staying and why.
void planParked(const ParkedOriginal& p, HomecomingPlan& plan) {
  if (p.relocated.empty() || p.state == ParkedState::kNotAFolder) {
    plan.left.push_back({p.parked, "it is not a parked folder Brimvale made, so it stays."});
    return;
  }
  if (p.state == ParkedState::kMatches || p.state == ParkedState::kDiffers) {
    const std::uint64_t parkedBytes = p.bytes.value_or(0), copyBytes = apparentBytes(p.copy);
    plan.parked.push_back(
        {p.parked, p.relocated, p.copy, copyBytes > parkedBytes ? copyBytes - parkedBytes : 0});
    return;
  }
  if (!entryPresent(p.relocated)) {
    plan.parked.push_back({p.parked, p.relocated, {}, 0});
    return;
  }
  plan.left.push_back(
      {p.parked, p.detail.empty() ? "it could not be compared with its copy." : p.detail + "."});
}

// What a run keeps on disk while it works, so a run after an interruption
// knows the pause state to restore and can report what the earlier one did.
struct Record {
  bool previouslyPaused = false;
  std::vector<std::string> home;  // paths brought home so far
  std::vector<std::string> kept;  // the drive's other versions, put beside them
};

fs::path recordPath(const StatePaths& paths) { return paths.state / kRecordFile; }

std::optional<Record> readRecord(const StatePaths& paths) {
  auto text = readFile(recordPath(paths));
  if (!text) return std::nullopt;
  const auto doc = nlohmann::json::parse(*text, nullptr, false);
  if (!doc.is_object()) return Record{};  // unreadable: leave the service running afterwards
  Record record{doc.value("previouslyPaused", false), {}, {}};
  for (auto [key, list] : {std::pair{"home", &record.home}, std::pair{"kept", &record.kept}}) {
    if (const auto paths = doc.find(key); paths != doc.end() && paths->is_array()) {
      for (const auto& p : *paths) {
        if (p.is_string()) list->push_back(p.get<std::string>());
      }
    }
  }
  return record;
}

Result<void> writeRecord(const StatePaths& paths, const Record& record) {
  if (auto made = createDirectories(paths.state); !made) return made;
  const nlohmann::json doc{
      {"previouslyPaused", record.previouslyPaused}, {"home", record.home}, {"kept", record.kept}};
  return writeFileAtomically(recordPath(paths), doc.dump(2) + "\n", {.mode = 0600});
}

// The pause state from before the first, interrupted run comes back, and the record goes.
void finishRecord(PanicHost& host, const Record& record) {
  if (!record.previouslyPaused) {
    if (auto removed = removePath(host.paths.paused); !removed) {
      host.err << "The service could not be resumed (" << removed.error().detail
               << "); run `brvl resume` to resume it.\n";
    }
  }
  bestEffort(removePath(recordPath(host.paths)), DiagnosticsLog(host.paths.diagnosticsLog),
             "removing the bring-home record");
}

struct Tally {
  Record record;
  std::vector<LeftBehind> left;
};

// Best effort: a record that cannot be rewritten only shortens the next report.
void noteHome(PanicHost& host, Tally& tally, const fs::path& path,
              const std::vector<fs::path>& kept = {}) {
  tally.record.home.push_back(path.string());
  for (const auto& k : kept) tally.record.kept.push_back(k.string());
  bestEffort(writeRecord(host.paths, tally.record), DiagnosticsLog(host.paths.diagnosticsLog),
             "updating the bring-home record");
}

// Under the relocator lock, with the parked entries read again once it is
// held, so a second run at the same time finds the ones the first brought home.
void bringParkedHome(PanicHost& host, const std::vector<MoveManifest>& all, Tally& tally) {
  mover::RelocatorLock lock(host.paths.state);
  if (auto locked = lock.acquire(kLockWait); !locked) {
    tally.left.push_back({host.paths.home, locked.error().detail});
    return;
  }
  for (const auto& p :
       planHomecoming(host.paths, host.workingFolders, all, host.apps.away()).parked) {
    if (auto back = returnParked(p, host.rsyncPath, host.run); !back) {
      tally.left.push_back({p.path, back.error().detail});
    } else {
      noteHome(host, tally, p.path, *back);
    }
  }
}

// Under the relocator lock, like the parked returns.
void bringRelocationsHome(PanicHost& host, const HomecomingPlan& plan, Tally& tally) {
  mover::RelocatorLock lock(host.paths.state);
  if (auto locked = lock.acquire(kLockWait); !locked) {
    tally.left.push_back({host.paths.home, locked.error().detail});
    return;
  }
  for (const auto& r : plan.relocations) {
    if (auto back = host.homecoming.bringHome(r.relocation); !back) {
      tally.left.push_back({r.relocation.src, back.error().detail});
    } else {
      noteHome(host, tally, r.relocation.src, *back);
    }
  }
}

void bringAppsHome(PanicHost& host, Tally& tally) {
  host.apps.settleUnfinished();
  stopPoint("homecoming:apps-settled");
  for (const auto& app : host.apps.away()) {
    if (app.unfinished) continue;  // the repair could not put it back: said below
    if (auto back = host.apps.bringHome(app); !back) {
      tally.left.push_back({app.originalPath, back.error().detail});
    } else {
      noteHome(host, tally, app.originalPath);
    }
  }
}

bool atOrBelow(const fs::path& path, const fs::path& folder) {
  return path == folder || isStrictlyInside(path, folder);
}

// What the disk still shows away after a run, beyond what the tally names
// already: what came home and is gone from its path again, links under the
// home folder into the working folder (one entry per relocated folder, or per
// link), folders that could not be looked in, relocations not home and apps
// still on the drive.
std::vector<LeftBehind> stillAway(const PanicHost& host, const Tally& tally) {
  const std::vector<LeftBehind>& known = tally.left;
  std::vector<LeftBehind> left;
  auto named = [&](const fs::path& path) {
    auto covers = [&](const LeftBehind& l) { return atOrBelow(path, l.path); };
    return std::any_of(known.begin(), known.end(), covers) ||
           std::any_of(left.begin(), left.end(), covers);
  };
  // What came home must still be there, not a link put in its place.
  for (const auto& path : tally.record.home) {
    const fs::file_status status = linkStatus(path).value_or(fs::file_status{});
    if (!fs::exists(status) || fs::is_symlink(status)) {
      left.push_back({path,
                      "what came home is no longer at this path; something else took its "
                      "place."});
    }
  }
  const auto all = mover::ManifestStore(host.paths.state, {}, systemClock()).all();
  const mover::LinksInto links = mover::linksInto(host.paths.home, host.workingFolders);
  for (const auto& folder : links.unreadable) {
    left.push_back({folder,
                    "Brimvale could not look inside it, so it cannot tell whether links into the "
                    "drive are left there."});
  }
  for (const auto& link : links.links) {
    if (named(link.link)) continue;
    fs::path place = link.link;
    for (const auto& m : all) {
      if (atOrBelow(link.link, m.src)) place = m.src;
    }
    left.push_back({place, "it still leads into the drive (" + link.target.string() + ")."});
  }
  for (const auto& m : relocationsAway(all)) {
    if (!named(m.src)) left.push_back({m.src, "it has not come home from the drive yet."});
  }
  for (const auto& app : host.apps.away()) {
    if (named(app.originalPath)) continue;
    left.push_back(
        {app.originalPath, app.unfinished
                               ? "its interrupted move could not be put right; "
                                 "`brimvale apps moved` shows where it is."
                               : "the app \u201c" + app.name + "\u201d is still on the drive."});
  }
  return left;
}

std::string renderReport(const Tally& tally, const fs::path& home) {
  const auto& done = tally.record.home;
  std::string text = "\nHome on the internal disk (" + std::to_string(done.size()) + "):\n";
  for (const auto& p : done) text += "  " + shown(p, home) + "\n";
  if (const auto& kept = tally.record.kept; !kept.empty()) {
    text += "Kept beside a file of the same name, as the drive held another version of it (" +
            std::to_string(kept.size()) + "):\n";
    for (const auto& p : kept) text += "  " + shown(p, home) + "\n";
  }
  if (tally.left.empty()) {
    return text +
           "Everything is home. Copies the drive still holds stay there until you delete "
           "them.\n";
  }
  text += "Left where it is (" + std::to_string(tally.left.size()) + "):\n";
  for (const auto& l : tally.left) text += "  " + shown(l.path, home) + " — " + l.why + "\n";
  return text +
         "Nothing was lost: each of these is still on the drive or beside its path. Fix "
         "what is named and run this again; it carries on from where it stopped.\n";
}

}  // namespace

std::uint64_t HomecomingPlan::neededBytes() const {
  std::uint64_t total = 0;
  for (const auto& p : parked) total += p.neededBytes;
  for (const auto& r : relocations) total += r.bytes;
  for (const auto& a : apps) total += a.bytes;
  return total;
}

std::vector<MoveManifest> relocationsAway(const std::vector<MoveManifest>& all) {
  std::vector<MoveManifest> away;
  for (const auto& m : all) {
    if (m.phase != MovePhase::kDone || !m.replaceSourceWithSymlink) continue;
    const bool copyThere = !finishedReturnOf(all, m) && entryPresent(m.finalDst);
    if (copyThere || entryPresent(setAsidePathOf(m.src))) away.push_back(m);
  }
  return away;
}

HomecomingPlan planHomecoming(const StatePaths& paths, const std::vector<fs::path>& workingFolders,
                              const std::vector<MoveManifest>& all, std::vector<AppAway> apps) {
  HomecomingPlan plan;
  plan.apps = std::move(apps);
  // Places a parked original or a move record accounts for, with what is below them.
  std::vector<fs::path> explained;
  for (const auto& p : listParked(paths.home)) {
    planParked(p, plan);
    explained.push_back(p.relocated);
    explained.push_back(p.parked);
  }
  for (const auto& m : all) {
    explained.push_back(m.src);
    explained.push_back(setAsidePathOf(m.src));
  }
  for (const auto& app : plan.apps) explained.push_back(app.originalPath);
  const mover::LinksInto links = mover::linksInto(paths.home, workingFolders);
  for (const auto& folder : links.unreadable) {
    plan.left.push_back({folder,
                         "Brimvale could not look inside it for links into the drive; let it read "
                         "that folder and run this again."});
  }
  std::vector<mover::LinkInto> explainedLinks;
  for (const auto& link : links.links) {
    if (std::any_of(explained.begin(), explained.end(),
                    [&](const fs::path& e) { return atOrBelow(link.link, e); })) {
      explainedLinks.push_back(link);
      continue;
    }
    if (isDirectory(link.target).value_or(false)) {
      plan.parked.push_back({link.link.string() + std::string(kParkedSuffix), link.link,
                             link.target, apparentBytes(link.target), true});
    } else if (!entryPresent(link.target)) {
      plan.left.push_back({link.link, "it leads to " + link.target.string() +
                                          ", which cannot be reached; connect the drive and run "
                                          "this again."});
    } else {
      plan.left.push_back({link.link, "it leads into the drive (" + link.target.string() +
                                          ") and no record says where it belongs, so Brimvale "
                                          "leaves it for you to copy home."});
    }
  }
  for (const auto& m : relocationsAway(all)) {
    plan.relocations.push_back({m, finishedReturnOf(all, m) ? 0 : apparentBytes(m.finalDst)});
  }
  for (const auto& m : all) {
    if (m.phase == MovePhase::kDone && m.replaceSourceWithSymlink && !finishedReturnOf(all, m) &&
        !entryPresent(m.finalDst) && !entryPresent(setAsidePathOf(m.src))) {
      plan.left.push_back({m.src, "its copy at " + m.finalDst +
                                      " cannot be reached; connect the drive and run this again."});
    }
  }
  // With nothing to bring home, a link into the drive that a record accounts for contradicts the
  // records: it is named rather than called home.
  if (plan.nothingToBring()) {
    for (const auto& link : explainedLinks) {
      plan.left.push_back({link.link, "it still leads into the drive (" + link.target.string() +
                                          ") although Brimvale's records say its folder is home, "
                                          "so Brimvale leaves it for you to copy home."});
    }
  }
  return plan;
}

Result<std::vector<fs::path>> returnParked(const ParkedReturn& item, const std::string& rsyncPath,
                                           const ProcessRunner& run) {
  std::vector<fs::path> kept;
  const std::string keep = " Nothing was changed at " + item.path.string() + "; " +
                           item.parked.string() + " stays as it is.";
  if (item.parkFirst && !entryPresent(item.parked)) {
    if (auto made = createDirectory(item.parked); !made) {
      return fail(Errc::kIo, "No folder could be made to copy it home into." + keep +
                                 " Raw error: " + made.error().detail);
    }
    stopPoint("homecoming:parked-made");
  }
  if (!isDirectory(item.parked).value_or(false)) {
    return fail(Errc::kNotFound, item.parked.string() + " is no longer there to bring home.");
  }
  if (!item.copy.empty()) {
    if (rsyncPath.empty()) {
      return fail(Errc::kNotFound,
                  "GNU rsync was not found, so the parked folder cannot take in "
                  "what changed on the drive." +
                      keep);
    }
    // A parked file the copy holds another version of is kept beside it.
    const std::string suffix = keptAsideName("", std::chrono::system_clock::now());
    const ProcessResult r = run({.path = rsyncPath,
                                 .args = {"-a", "--backup", "--suffix=" + suffix,
                                          item.copy.string() + "/", item.parked.string() + "/"},
                                 .deadline = kCopyLimit});
    if (!r.succeeded()) {
      return fail(Errc::kToolFailed,
                  "What changed on the drive could not be copied into the parked folder." + keep +
                      " Raw error: " + r.err);
    }
    stopPoint("homecoming:parked-updated");
    // The copy tool also sets aside a file it only re-stamped: such a twin goes.
    const ReplaceGuard guard({.alwaysCompareBytes = true});
    // A folder that cannot be read here fails the comparison that follows.
    (void)walkBelow(item.parked, {}, [&](const WalkEntry& e) {
      std::error_code ec;
      if (!e.name.ends_with(suffix) || fs::is_directory(e.path, ec)) return WalkStep::kContinue;
      const std::string name(e.name);
      const std::string original = name.substr(0, name.size() - suffix.size());
      if (guard.check(e.folderFd, name, e.folderFd, original) != GuardVerdict::kSafe ||
          ::unlinkat(e.folderFd, name.c_str(), 0) != 0) {
        kept.push_back(item.path / e.path.lexically_relative(item.parked));
      }
      return WalkStep::kContinue;
    });
    const mover::CounterpartCheck check = mover::compareCounterparts(
        item.copy, item.parked, mover::MoveConflictPolicy::kMerge, {}, {});
    if (!check.srcDigest || !check.dstDigest || !check.differing.empty()) {
      return fail(Errc::kInvalidArgument,
                  "The parked folder does not hold everything its copy "
                  "holds (" +
                      std::to_string(check.differing.size()) + " item(s) differ)." + keep);
    }
    const auto target = readSymlink(item.path);
    if (!target || (item.path.parent_path() / *target).lexically_normal() != item.copy) {
      return fail(Errc::kInvalidArgument, item.path.string() + " changed while it was checked." +
                                              keep + " Run this again.");
    }
    if (auto removed = removePath(item.path); !removed) {
      return fail(Errc::kIo, "The link could not be removed." + keep +
                                 " Raw error: " + removed.error().detail);
    }
    stopPoint("homecoming:unlinked");
  } else if (entryPresent(item.path)) {
    return fail(Errc::kInvalidArgument, "Something is at " + item.path.string() +
                                            " already, so the parked folder stays beside it.");
  }
  if (auto renamed = renamePath(item.parked, item.path); !renamed) {
    return fail(Errc::kIo,
                "The parked folder could not take its old name again; it is complete "
                "at " +
                    item.parked.string() + ". Raw error: " + renamed.error().detail);
  }
  stopPoint("homecoming:parked-returned");
  return kept;
}

std::optional<std::string> spaceRefusal(std::uint64_t needed, std::uint64_t freeBytes) {
  if (needed <= freeBytes) return std::nullopt;
  return "The internal disk has " + bytesText(freeBytes) +
         " free, but bringing everything home "
         "needs " +
         bytesText(needed) +
         ". Nothing was changed; your files are safe where they "
         "are. Free up at least " +
         bytesText(needed - freeBytes) + " and run this again.";
}

std::string renderPlan(const HomecomingPlan& plan, const fs::path& home) {
  if (plan.nothingToBring()) {
    std::string text = plan.left.empty() ? "Nothing is waiting on the drive: every relocated "
                                           "folder Brimvale knows of is home.\n"
                                         : "Nothing can be brought home now:\n";
    for (const auto& l : plan.left) text += "  left: " + shown(l.path, home) + " — " + l.why + "\n";
    return text;
  }
  std::string text = "To bring home to the internal disk:\n";
  for (const auto& p : plan.parked) {
    text += "  " + shown(p.path, home) +
            (p.parkFirst ? " — copied back from the drive in place of its link (" +
                               bytesText(p.neededBytes) + ")\n"
             : p.copy.empty() ? std::string(" — its parked original takes its name again\n")
                              : std::string(" — its parked original replaces the link, once it "
                                            "holds everything the copy holds\n"));
  }
  for (const auto& r : plan.relocations) {
    text += "  " + shown(r.relocation.src, home) + " — moved back from the drive (" +
            bytesText(r.bytes) + ")\n";
  }
  for (const auto& a : plan.apps) {
    text += "  " + shown(a.originalPath, home) + " — the app \u201c" + a.name + "\u201d" +
            (a.unfinished ? ", whose move was cut short, put back where it was\n"
                          : " moved back from the drive (" + bytesText(a.bytes) + ")\n");
  }
  for (const auto& l : plan.left) text += "  left: " + shown(l.path, home) + " — " + l.why + "\n";
  return text + "This needs " + bytesText(plan.neededBytes()) +
         " free on the internal disk. The service is paused meanwhile.\n";
}

int panicRecoveryCommand(PanicHost& host, const PanicOptions& options) {
  const auto records = [&] {
    return mover::ManifestStore(host.paths.state, {}, systemClock()).all();
  };
  const HomecomingPlan plan =
      planHomecoming(host.paths, host.workingFolders, records(), host.apps.away());
  host.out << renderPlan(plan, host.paths.home);
  const std::optional<Record> interrupted = readRecord(host.paths);
  if (plan.nothingToBring()) {
    if (interrupted && !options.dryRun) finishRecord(host, *interrupted);
    return plan.left.empty() ? 0 : 1;
  }
  if (options.dryRun) {
    host.out << "Dry run: nothing was changed.\n";
    return 0;
  }
  const auto freeBytes = host.freeBytes(host.paths.home);
  if (!freeBytes) {
    host.err << "The free space on the internal disk could not be measured, so nothing was "
                "changed; your files are safe where they are. Run this again in a moment.\n";
    return 1;
  }
  if (auto refusal = spaceRefusal(plan.neededBytes(), *freeBytes)) {
    host.err << *refusal << "\n";
    return 1;
  }
  if (host.goAhead && !host.goAhead()) return 1;
  const Record record = interrupted.value_or(Record{entryPresent(host.paths.paused)});
  if (!interrupted) {
    if (auto written = writeRecord(host.paths, record); !written) {
      host.err << "Brimvale could not write its record of this run, so nothing was changed; "
                  "your files are safe where they are. Raw error: "
               << written.error().detail << "\n";
      return 1;
    }
  }
  if (auto paused = touchFile(host.paths.paused); !paused) {
    host.err << "The service could not be paused (" << paused.error().detail
             << "); carrying on, as moves back are not automatic actions.\n";
  }
  stopPoint("homecoming:paused");
  Tally tally{record, {}};
  if (auto settled = host.homecoming.settleUnfinished(); !settled) {
    tally.left.push_back({host.paths.state / "folder-moves", settled.error().detail});
  }
  bringParkedHome(host, records(), tally);
  bringRelocationsHome(host, planHomecoming(host.paths, host.workingFolders, records()), tally);
  bringAppsHome(host, tally);
  const auto apps = host.apps.away();
  for (const auto& l : planHomecoming(host.paths, host.workingFolders, records(), apps).left)
    tally.left.push_back(l);
  for (auto& l : stillAway(host, tally)) tally.left.push_back(std::move(l));
  finishRecord(host, record);
  host.out << renderReport(tally, host.paths.home);
  return tally.left.empty() ? 0 : 1;
}

}  // namespace brimvale::relocated
