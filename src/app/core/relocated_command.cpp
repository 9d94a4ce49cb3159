#include "app/core/relocated_command.h"

#include "app/core/json_output.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/core/short_id.h"
#include "cloud/auto_sync_manager.h"
#include "common/base/file_calls.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/configured_drive.h"
#include "common/state/path_policy.h"
#include "mover/move_cancel.h"
#include "mover/safety_checks.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using mover::RelocatedItem;
using nlohmann::json;

mover::RelocatedItemsStore makeStore(const MoverCommandContext& c) {
  mover::RelocatedStoreEnvironment env{c.paths, c.computerName, {}};
  if (c.mounts) {
    env.isMounted = [mounts = c.mounts](const fs::path& p) {
      return mounts->isMountedAt(p.string());
    };
  }
  return mover::RelocatedItemsStore(std::move(env));
}

std::int64_t sizeBytes(const RelocatedItem& item) { return item.manifest.srcSizeKB * 1024; }

// Holds the relocator lock, or says on `err` who has it; false then.
bool locked(MoverCommandContext& c, mover::RelocatorLock& lock) {
  auto acquired = lock.acquire(std::chrono::milliseconds(0));
  if (acquired) return true;
  c.err << acquired.error().detail
        << (acquired.error().code == Errc::kTimedOut
                ? " Nothing was changed; your data is safe. Wait for the other Brimvale move to "
                  "finish, then try again.\n"
                : " Nothing was changed; your data is safe. Check that " + c.paths.state.string() +
                      " can be written to, then try again.\n");
  return false;
}

// Moving back and deleting reach the drive: false, said on `err`, while the
// configuration names none.
bool driveKnown(MoverCommandContext& c) {
  auto drive = configuredDrive(c.paths);
  if (!drive) c.err << driveUnknownMessage(drive.error(), c.paths) << "\n";
  return drive.has_value();
}

// A usage mistake, said on `err`, when no id was given.
bool idGiven(MoverCommandContext& c, const std::string& id) {
  if (!id.empty()) return true;
  c.err << "Name the relocated folder by its id: `brimvale relocated` lists them. Nothing was "
           "changed.\n";
  return false;
}

// The item `id` names, or nothing (said on `err`).
const RelocatedItem* named(MoverCommandContext& c, const mover::RelocatedItemsStore& store,
                           const std::string& id) {
  const RelocatedItem* item = store.find(id);
  if (!item) {
    c.err << "No single relocated folder matches \"" << id
          << "\"; `brimvale relocated` lists them. Nothing was changed.\n";
  }
  return item;
}

cloud::AutoSyncManager autoSyncManager(const MoverCommandContext& c) {
  return cloud::AutoSyncManager(
      {.stateDir = c.paths.state, .diagnosticsLog = c.paths.diagnosticsLog});
}

// The folder and anything inside it, however the path was written.
bool atOrInside(const std::string& path, const fs::path& folder) {
  const auto normal = normalisedAbsolute(path);
  const fs::path root = folder.lexically_normal();
  return normal && (*normal == root || isStrictlyInside(*normal, root));
}

// What the move back will meet, told before the user decides: the watcher it
// turns off, the files written at home since the relocation (and which of
// them the drive holds a version of too), and the programs using the folder.
void tellPlan(MoverCommandContext& c, const MoveBackPlan& plan, bool overwrite) {
  if (!plan.watchers.empty()) c.out << kWatcherTurnsOff << "\n";
  if (!plan.writtenSince.empty()) {
    c.out << kWrittenSince << "\n";
    constexpr std::size_t kShown = 10;
    for (std::size_t i = 0; i < plan.writtenSince.size() && i < kShown; ++i)
      c.out << "  " << plan.writtenSince[i].string() << "\n";
    if (plan.writtenSince.size() > kShown)
      c.out << "  … and " << plan.writtenSince.size() - kShown << " more\n";
  }
  if (const std::size_t n = plan.alsoOnDrive.size(); n > 0) {
    c.out << n << (n == 1 ? " of them has" : " of them have") << " a version on the drive too: "
          << (overwrite ? "the drive's version takes the path and the one at home is kept beside "
                          "it"
                        : "the one at home keeps its path and the drive's is kept beside it "
                          "(--overwrite does the opposite)")
          << ", named NAME.kept-DATE.\n";
  }
  if (!plan.users.empty()) {
    c.out << "In use by " << describeInUse(plan.users)
          << ". Quit them before going ahead, or go ahead anyway (it may interrupt them).\n";
  }
}

Verdict decideMoveBack(MoverCommandContext& c, const RelocatedItem& item, const MoveBackPlan& plan,
                       bool overwrite) {
  tellPlan(c, plan, overwrite);
  return decide(c.confirm, "Move " + homeRelative(item.manifest.src, c.paths.home) + " back from " +
                               item.manifest.finalDst + " to the internal disk.");
}

// Once the folder is home its watchers would send its new files to the
// drive again: each is turned off, and said so only once it reads as off.
int turnOffWatchers(MoverCommandContext& c, const std::vector<cloud::AutoSyncPolicy>& watchers) {
  if (watchers.empty()) return 0;
  auto manager = autoSyncManager(c);
  int status = 0;
  for (const auto& watcher : watchers) {
    const auto off = manager.setEnabled(watcher.id, false);
    const auto policies = manager.policies();
    const bool stillOn = std::ranges::any_of(
        policies, [&](const cloud::AutoSyncPolicy& p) { return p.id == watcher.id && p.enabled; });
    const std::string folder = homeRelative(watcher.internalPath, c.paths.home);
    if (off && !stillOn) {
      c.out << "The watcher of " << folder
            << " is off: new files written there stay on the internal disk.\n";
      continue;
    }
    c.err << "The folder is home, but Brimvale couldn't turn off the watcher of " << folder
          << (off ? std::string() : " (" + off.error().message() + ")")
          << ", so it may copy new files from there to the drive. Your data is safe; turn it off "
             "with `brimvale autosync disable "
          << shortId(watcher.id) << "`.\n";
    status = 1;
  }
  return status;
}

// What became of the item once its reverse move settled; 0 when it is home.
int reportMoveBackEnd(MoverCommandContext& c, const RelocatedItem& item,
                      const mover::MoveBackEnd& end) {
  using Kind = mover::MoveBackEnd::Kind;
  const std::string& src = item.manifest.src;
  const std::string& copy = item.manifest.finalDst;
  switch (end.kind) {
    case Kind::kBroughtHome:
      c.out << homeRelative(src, c.paths.home)
            << " is back on the internal disk; its copy on the drive was removed.\n";
      return 0;
    case Kind::kHomeUnrecorded:
      c.err << "Everything of " << homeRelative(src, c.paths.home)
            << " came home and its copy on the drive was removed, but Brimvale couldn't update "
               "its records in "
            << c.paths.state.string()
            << ", so it may still be listed as relocated. Your data is safe; run `brimvale "
               "relocated` again once that folder can be written to.\n";
      break;
    case Kind::kLinkRestored:
      c.err << "The folder stays on the drive: the link at " << src
            << " was put back, so everything works as before. Your data is safe.\n";
      break;
    case Kind::kRelocationKept:
      c.err << "The folder stays relocated: every file at " << src
            << " is there, as itself or as a link to its copy. Your data is safe; run the move "
               "back again to finish it.\n";
      break;
    case Kind::kPartialLeft:
      c.err << "The move back stopped part-way, and what was copied back to " << src
            << " differs from the copy on the drive (" << end.detail
            << "), so Brimvale kept both. Nothing was lost: the complete copy stays at " << copy
            << ". Compare the two, then move it back again.\n";
      break;
    case Kind::kLinkNotRestored:
      c.err << "The move back stopped, and the link at " << src << " couldn't be put back ("
            << end.detail << "). Your data is safe at " << copy
            << "; run the move back again to bring it home.\n";
      break;
  }
  return 1;
}

std::string tableRow(const std::string& id, const std::string& state, const std::string& size,
                     const std::string& where) {
  std::ostringstream row;
  row << std::left << std::setw(10) << id << std::setw(18) << state << std::setw(10) << size
      << where << "\n";
  return row.str();
}

int listRelocated(MoverCommandContext& c, const mover::RelocatedItemsStore& store, bool asJson) {
  if (asJson) {
    // An item is on its way home while an unfinished move starts from its copy.
    std::set<std::string> movingBack;
    const auto records = mover::ManifestStore(c.paths.state, {}, systemClock()).all();
    for (const auto& item : store.items()) {
      if (std::ranges::any_of(records, [&](const mover::MoveManifest& r) {
            return !mover::isTerminal(r.phase) && r.src == item.manifest.finalDst;
          })) {
        movingBack.insert(item.manifest.id);
      }
    }
    c.out << relocatedJson(store.items(), store.lastScanDiagnostic(), movingBack);
    return 0;
  }
  if (store.items().empty()) {
    c.out << "No relocated folders.\n";
  } else {
    c.out << tableRow("ID", "STATE", "SIZE", "ORIGINAL → COPY ON THE DRIVE");
  }
  for (const auto& item : store.items()) {
    c.out << tableRow(
        shortId(item.manifest.id), std::string(mover::integrityWords(item.integrity)),
        platform::formatFileByteCount(sizeBytes(item)),
        homeRelative(item.manifest.src, c.paths.home) + " → " + item.manifest.finalDst);
    if (const auto help = mover::integrityHelp(item.integrity); !help.empty())
      c.out << "          " << help << "\n";
  }
  if (const auto& d = store.lastScanDiagnostic())
    c.out << "Discovery walk: " << mover::scanDiagnosticText(*d) << "\n";
  return 0;
}

int deleteRelocated(MoverCommandContext& c, const std::string& id) {
  if (!idGiven(c, id)) return 2;
  if (!driveKnown(c)) return 1;
  mover::RelocatorLock lock(c.paths.state);
  if (!locked(c, lock)) return 1;
  auto store = makeStore(c);
  store.refresh();
  const RelocatedItem* found = named(c, store, id);
  if (!found) return 2;
  const RelocatedItem item = *found;
  // One that would be refused is refused without asking.
  if (mover::isBroken(item.integrity) && item.integrity != mover::Integrity::kNoSymlink) {
    const Verdict verdict = decide(
        c.confirm,
        "Clear away the broken relocation of " + homeRelative(item.manifest.src, c.paths.home) +
            ": Brimvale's own links there to the missing copy " + item.manifest.finalDst +
            " go, with the folders they leave empty; anything else stays.");
    if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  }
  auto deleted = store.deleteBroken(item);
  if (!deleted) {
    const mover::DeleteError& refused = deleted.error();
    c.err << refused.message() << "\n";
    if (refused.kind == mover::DeleteError::Kind::kOnlyCopy) {
      c.err << "To bring it home: brimvale relocated move-back " << shortId(item.manifest.id)
            << "\n";
    } else if (refused.kind == mover::DeleteError::Kind::kNotBroken) {
      c.err << "Nothing was deleted; your data is safe. To bring it home: brimvale relocated "
               "move-back "
            << shortId(item.manifest.id) << "\n";
    }
    return 1;
  }
  const mover::DeleteOutcome& out = *deleted;
  const std::string name = homeRelative(item.manifest.src, c.paths.home);
  auto listed = [&](const std::vector<std::string>& paths) {
    std::string text;
    for (std::size_t i = 0; i < paths.size() && i < 10; ++i)
      text += "  " + homeRelative(paths[i], c.paths.home) + "\n";
    if (paths.size() > 10) text += "  … and " + std::to_string(paths.size() - 10) + " more\n";
    return text;
  };
  if (!out.removed.empty()) {
    c.out << "Removed " << out.removed.size()
          << " of Brimvale's links to the missing copy, and the folders they left empty:\n"
          << listed(out.removed);
  }
  if (!out.kept.empty()) {
    c.out << "Kept " << out.kept.size()
          << " item(s) there that are not Brimvale's links to the missing copy:\n"
          << listed(out.kept);
  }
  if (!out.failedSteps.empty() || !out.recordRemoved) {
    if (!out.failedSteps.empty())
      c.err << mover::DeleteError{mover::DeleteError::Kind::kStepsFailed, {}, out.failedSteps}
                   .message()
            << "\n";
    c.err << (out.recordRemoved ? "The broken relocation of " + name + " is no longer listed. "
              : !out.left.empty()
                  ? "Some of Brimvale's links to the missing copy are still at " + name +
                        ", so the relocation stays listed; run this again to retry. "
                  : "Brimvale couldn't remove its record in " + c.paths.state.string() +
                        ", so it stays listed; run this again once that folder can be written "
                        "to. ")
          << "Nothing else was deleted; your files there are safe.\n";
    return 1;
  }
  c.out << "Cleared away the broken relocation of " << name << ".\n";
  return 0;
}

int scanRelocated(MoverCommandContext& c) {
  auto store = makeStore(c);
  store.refresh();
  const auto& d = *store.lastScanDiagnostic();
  c.out << mover::scanDiagnosticText(d) << "\n";
  for (const auto& item : store.items()) {
    if (item.discovered)
      c.out << "  " << homeRelative(item.manifest.src, c.paths.home) << " → "
            << item.manifest.finalDst << "\n";
  }
  return d.folderExists && !d.walkedFolders.empty() ? 0 : 1;
}

}  // namespace

bool canMoveBack(const RelocatedItem& item) {
  return item.integrity != mover::Integrity::kMissingOnDrive;
}

MoveBackPlan moveBackPlan(const MoverCommandContext& c, const RelocatedItem& item, bool overwrite) {
  MoveBackPlan plan;
  const fs::path src(item.manifest.src), copy(item.manifest.finalDst);
  plan.writtenSince = mover::filesWrittenSinceRelocation(src);
  for (const auto& file : plan.writtenSince) {
    const auto status = linkStatus(copy / file);
    if (status && fs::exists(*status)) plan.alsoOnDrive.push_back(file);
  }
  for (const auto& policy : autoSyncManager(c).policies()) {
    if (policy.enabled && atOrInside(policy.internalPath, src)) plan.watchers.push_back(policy);
  }
  if (!overwrite) {
    // Files reached through the links are open at the copy, so both places count.
    const auto probe = FolderInUseProbe::forThisSystem(c.run);
    plan.users = probe.scan(src.string());
    for (auto& user : probe.scan(copy.string())) {
      if (std::ranges::none_of(plan.users, [&](const auto& u) { return u.id == user.id; }))
        plan.users.push_back(std::move(user));
    }
  }
  return plan;
}

std::expected<json, std::string> moveBackPlanJson(const MoverCommandContext& c,
                                                  const std::string& id) {
  auto store = makeStore(c);
  store.refresh();
  const RelocatedItem* item = store.find(id);
  if (!item) {
    return std::unexpected("No single relocated folder matches \"" + id +
                           "\" any more; the list shows the ones there are. Nothing was changed.");
  }
  const MoveBackPlan plan = moveBackPlan(c, *item, false);
  // A long list is cut short; the count says how many there are.
  constexpr std::size_t kListed = 100;
  auto listed = [&](const std::vector<fs::path>& files) {
    json list = json::array();
    for (std::size_t i = 0; i < files.size() && i < kListed; ++i) list.push_back(files[i].string());
    return list;
  };
  json users = json::array();
  for (const auto& u : plan.users) users.push_back(describeInUse({u}));
  return json{
      {"id", item->manifest.id},
      {"source", item->manifest.src},
      {"copy", item->manifest.finalDst},
      {"unavailable", canMoveBack(*item) ? json(nullptr) : json(std::string(kMoveBackUnavailable))},
      {"watcher", plan.watchers.empty() ? json(nullptr) : json(std::string(kWatcherTurnsOff))},
      {"writtenSince",
       {{"text", kWrittenSince},
        {"count", plan.writtenSince.size()},
        {"files", listed(plan.writtenSince)},
        {"alsoOnDrive", listed(plan.alsoOnDrive)}}},
      {"inUse",
       plan.users.empty() ? json(nullptr) : json{{"text", kAppsInUse}, {"programs", users}}},
      {"overwriteChoice", kOverwriteChoice},
  };
}

std::string relocatedJson(const std::vector<RelocatedItem>& items,
                          const std::optional<mover::ScanDiagnostic>& diagnostic,
                          const std::set<std::string>& movingBack) {
  json rows = json::array();
  for (const auto& item : items) {
    const auto help = mover::integrityHelp(item.integrity);
    rows.push_back({{"id", item.manifest.id},
                    {"integrity", std::string(mover::integrityRaw(item.integrity))},
                    {"state", std::string(mover::integrityWords(item.integrity))},
                    {"help", help.empty() ? json(nullptr) : json(std::string(help))},
                    {"broken", mover::isBroken(item.integrity)},
                    {"source", item.manifest.src},
                    {"copy", item.manifest.finalDst},
                    {"size", sizeBytes(item)},
                    {"recorded", !item.discovered},
                    {"moveBackAvailable", canMoveBack(item)},
                    {"movingBack", movingBack.contains(item.manifest.id)}});
  }
  const json doc = {{"items", rows},
                    {"scanDiagnostic",
                     diagnostic ? json(mover::scanDiagnosticText(*diagnostic)) : json(nullptr)}};
  return versionedText(doc);
}

int moveBackCommand(MoverCommandContext& c, const std::string& id, bool overwrite) {
  if (!idGiven(c, id)) return 2;
  if (!driveKnown(c)) return 1;
  mover::RelocatorLock lock(c.paths.state);
  if (!locked(c, lock)) return 1;
  auto store = makeStore(c);
  store.refresh();
  const RelocatedItem* found = named(c, store, id);
  if (!found) return 2;
  const RelocatedItem item = *found;
  const MoveBackPlan plan = moveBackPlan(c, item, overwrite);
  if (const Verdict verdict = decideMoveBack(c, item, plan, overwrite); verdict != Verdict::kGo)
    return stoppedStatus(verdict);

  RunLoop loop;
  MoverHost host(c.paths, c.host.defaults.get(), c.computerName, loop, c.run, c.mounts,
                 std::nullopt, {}, c.snapshotTool);
  auto& m = host.mover();
  if (c.launcher) m.setOwner(mover::thisProcessOwner(*c.launcher));
  MoveProgressPrinter printer(c.out, c.output);
  m.setPaused(true);
  m.reload();
  followMoves(loop, host, printer);
  auto started = store.moveBack(m, item, overwrite);
  if (!started) {
    c.err << started.error().message()
          << "\nNothing was moved; the folder is still on the drive, as it was.\n";
    return 1;
  }
  c.out << "Moving " << homeRelative(item.manifest.src, c.paths.home) << " back (move " << *started
        << ").\n";
  loop.post([&] { m.setPaused(false); });
  int status = 0;
  if (int signal = runUntilSettled(loop, host, printer)) {
    status = stopMoves(c, loop, host, printer, signal);
  } else {
    status = reportOutcome(c, *m.job(*started));
  }
  const auto end = store.moveBackEnded(*m.job(*started));
  if (!end) return status;  // still running after a second Ctrl-C: `moves resume` finishes it
  int outcome = reportMoveBackEnd(c, item, *end);
  if (end->kind == mover::MoveBackEnd::Kind::kBroughtHome ||
      end->kind == mover::MoveBackEnd::Kind::kHomeUnrecorded) {
    outcome = std::max(outcome, turnOffWatchers(c, plan.watchers));
  }
  return status != 0 ? status : outcome;
}

int relocatedCommand(MoverCommandContext& c, const RelocatedOptions& o) {
  if (o.action == "move-back") return moveBackCommand(c, o.id, o.overwrite);
  if (o.action == "delete") return deleteRelocated(c, o.id);
  if (o.action == "scan") return scanRelocated(c);
  auto store = makeStore(c);
  store.refresh();
  return listRelocated(c, store, o.json);
}

}  // namespace brimvale::app
