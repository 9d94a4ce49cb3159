#include "app/core/relocated_command.h"

#include "app/core/json_output.h"

#include <iomanip>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/core/short_id.h"
#include "common/base/text_formats.h"
#include "common/state/configured_drive.h"
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

// Files written on the internal disk since the relocation go home with the
// rest; the user is told which before the move back.
void tellFilesWrittenSince(MoverCommandContext& c, const RelocatedItem& item) {
  const auto written = mover::filesWrittenSinceRelocation(item.manifest.src);
  if (written.empty()) return;
  c.out << "These files were created on internal disk after the relocation. They'll be included "
           "in the move back.\n";
  constexpr std::size_t kShown = 10;
  for (std::size_t i = 0; i < written.size() && i < kShown; ++i) {
    c.out << "  " << written[i].string() << "\n";
  }
  if (written.size() > kShown) c.out << "  … and " << written.size() - kShown << " more\n";
}

Verdict decideMoveBack(MoverCommandContext& c, const RelocatedItem& item) {
  tellFilesWrittenSince(c, item);
  return decide(c.confirm, "Move " + homeRelative(item.manifest.src, c.paths.home) + " back from " +
                               item.manifest.finalDst + " to the internal disk.");
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
    c.out << relocatedJson(store.items(), store.lastScanDiagnostic());
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

std::string relocatedJson(const std::vector<RelocatedItem>& items,
                          const std::optional<mover::ScanDiagnostic>& diagnostic) {
  json rows = json::array();
  for (const auto& item : items) {
    const auto help = mover::integrityHelp(item.integrity);
    rows.push_back({{"id", item.manifest.id},
                    {"integrity", std::string(mover::integrityRaw(item.integrity))},
                    {"help", help.empty() ? json(nullptr) : json(std::string(help))},
                    {"broken", mover::isBroken(item.integrity)},
                    {"source", item.manifest.src},
                    {"copy", item.manifest.finalDst},
                    {"size", sizeBytes(item)},
                    {"recorded", !item.discovered}});
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
  if (const Verdict verdict = decideMoveBack(c, item); verdict != Verdict::kGo)
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
  const int outcome = reportMoveBackEnd(c, item, *end);
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
