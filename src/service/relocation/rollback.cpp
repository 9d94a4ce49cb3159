#include "service/relocation/rollback.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <iostream>
#include <optional>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/guarded_removal.h"
#include "common/base/mount_anchor.h"
#include "common/base/process.h"
#include "common/base/stop_point.h"
#include "common/state/config_keys.h"
#include "common/state/path_policy.h"
#include "common/state/paths.h"
#include "service/core/action_log.h"
#include "service/core/rule_run_lock.h"
#include "service/core/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

enum class Plan { kReverse, kCannotUndo, kRefused, kPassOver };

struct PlannedRow {
  ActionRow row;
  Plan plan = Plan::kPassOver;
  std::string why;  // shown beside rows that won't be reversed
};

enum class Outcome { kReversed, kSkipped, kFailed };

// A name that cannot be examined counts as absent; the rename that follows tells.
bool present(const fs::path& path) {
  return fs::exists(linkStatus(path).value_or(fs::file_status{}));
}

// A short name derived from the row (FNV-1a of both paths), so the next run
// finds what a stopped one left, and a 255-byte item name still fits.
std::string rowTag(const ActionRow& row) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  auto mix = [&hash](std::string_view text) {
    for (unsigned char c : text) {
      hash ^= c;
      hash *= 0x100000001b3ULL;
    }
  };
  mix(row.src);
  mix(std::string_view("\0", 1));
  mix(row.dest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string tag;
  for (int shift = 60; shift >= 0; shift -= 4) tag += kHex[(hash >> shift) & 0xf];
  return tag;
}

// The copy being made beside the item's old place.
fs::path stagingPath(const ActionRow& row) {
  return fs::path(row.src).parent_path() / (".brimvale-rollback-" + rowTag(row));
}
// The drive copy, set aside once the staged copy is complete.
fs::path retiredPath(const ActionRow& row) {
  return fs::path(row.dest).parent_path() / (".brimvale-rolled-back-" + rowTag(row));
}

PlannedRow planRow(const PathPolicy& policy, const ActionRow& row) {
  if (row.action == "delete" || row.action == "delete-cache") {
    return {row, Plan::kCannotUndo, "deleted; that can't be undone"};
  }
  if (row.action == "trash") {
    return {row, Plan::kCannotUndo, "went to the Trash; put it back from there"};
  }
  if (row.action.starts_with("reclaim-"))
    return {row, Plan::kCannotUndo, "cleared clutter; that can't be undone"};
  if (row.action == "relocate")
    return {row, Plan::kPassOver, "rollback doesn't move relocated folders back"};
  // Not a row Brimvale writes (a damaged batch file): nothing can be said of
  // it, so it is neither undone nor dropped.
  if (row.action != "move") {
    return {row, Plan::kRefused,
            "the batch row \"" + row.action +
                "\" is not an action Brimvale records, so rollback left it in the batch. Nothing "
                "was changed."};
  }
  // A batch row is state read from disk: it moves nothing the policy would not.
  auto src = policy.check(row.src);
  if (!src) return {row, Plan::kRefused, src.error().sentence()};
  if (src->root == PathRoot::kWorkingFolder || src->root == PathRoot::kQuarantine) {
    return {
        row, Plan::kRefused,
        row.src +
            " lies in Brimvale's own folders, not where an archived item came from, so rollback "
            "won't move anything there. Nothing was changed."};
  }
  auto dest = policy.check(row.dest);
  if (!dest) return {row, Plan::kRefused, dest.error().sentence()};
  if (dest->root != PathRoot::kWorkingFolder) {
    return {row, Plan::kRefused,
            row.dest +
                " is not in the drive's working folder, where archived items are kept, so rollback "
                "won't move it. Nothing was changed."};
  }
  return {row, Plan::kReverse, {}};
}

class Rollback {
 public:
  Rollback(ServiceContext& ctx, const FolderInUseProbe& inUse, FileOperations& files,
           std::optional<MountAnchor> drive)
      : ctx_(ctx),
        inUse_(inUse),
        files_(files),
        drive_(std::move(drive)),
        diagnostics_(ctx.paths.diagnosticsLog, ctx.clock) {}
  Outcome reverse(const ActionRow& row);
  // Where the drive's versions of what changed while items were brought
  // back are kept ("<name>.kept-<UTC stamp>" beside the drive copy).
  [[nodiscard]] const std::vector<fs::path>& keptAside() const { return keptAside_; }
  // Where unfinished copies holding what the drive copy lacks are kept
  // ("<name>.kept-<UTC stamp>" beside the item's old place).
  [[nodiscard]] const std::vector<fs::path>& keptAtHome() const { return keptAtHome_; }

 private:
  Outcome failed(const ActionRow& row, const std::string& why) {
    ctx_.log.say("rollback FAILED: couldn't move " + row.dest + " back to " + row.src +
                 "; it is still safe at " + row.dest + ". " + why);
    return Outcome::kFailed;
  }
  // Says so only once the item is at its old place.
  Outcome reversed(const ActionRow& row) {
    if (!present(row.src)) {
      ctx_.log.say("rollback FAILED: " + row.src + " is not there after " + row.dest +
                   " was moved back to it, so nothing more of it was deleted.");
      return Outcome::kFailed;
    }
    ctx_.log.say("rollback: " + row.dest + " -> " + row.src);
    return Outcome::kReversed;
  }
  Outcome finishStopped(const ActionRow& row, const fs::path& staging, const fs::path& retired);
  Outcome copyAcross(const ActionRow& row, const fs::path& staging, const fs::path& retired,
                     std::chrono::system_clock::time_point copyStarted);
  Outcome settleRetired(const ActionRow& row, const fs::path& retired, const GuardOptions& options);

  // The drive is the one this rollback began with (an unplugged drive leaves
  // a bare folder where its files were) and holds the working folder.
  bool driveConnected() const {
    return (!drive_ || drive_->holds(ctx_.cfg().base())) &&
           present(ctx_.cfg().base() / kMarkerFileName);
  }
  bool dropStaging(const ActionRow& row, const fs::path& staging);
  std::expected<fs::path, std::string> keepBeside(const fs::path& from, const fs::path& item);
  ServiceContext& ctx_;
  const FolderInUseProbe& inUse_;
  FileOperations& files_;
  const std::optional<MountAnchor> drive_;
  const DiagnosticsLog diagnostics_;
  std::vector<fs::path> keptAside_;
  std::vector<fs::path> keptAtHome_;
};

// "a, b, c, d, e and 2 more": what a sentence names of a list of files.
std::string named(const std::vector<std::string>& files) {
  std::string out;
  for (std::size_t i = 0; i < files.size() && i < 5; ++i) out += (i ? ", " : "") + files[i];
  if (files.size() > 5) out += " and " + std::to_string(files.size() - 5) + " more";
  return out;
}

// Renames `from` to "<name>.kept-<UTC stamp>" (".2", ".3", ... when taken)
// beside `item`, never replacing anything: the new path, or why not.
std::expected<fs::path, std::string> Rollback::keepBeside(const fs::path& from,
                                                          const fs::path& item) {
  const std::string base =
      keptAsideName(item.filename().string(), std::chrono::system_clock::now());
  for (int n = 1; n < 1000; ++n) {
    const fs::path kept = item.parent_path() / (n == 1 ? base : base + "." + std::to_string(n));
    const std::error_code ec = files_.renameNoReplace(from, kept);
    if (ec == std::errc::file_exists) continue;
    if (ec) return std::unexpected(ec.message());
    return kept;
  }
  return std::unexpected("no free name was found beside it");
}

// A staged copy is only ever a spare: the item is whole on the drive. It goes
// file by file, each only when the guard finds it the same as the drive copy
// it was made from; anything else in it (written into it meanwhile) is kept
// beside the item's old place and listed. False when it is still in the way.
bool Rollback::dropStaging(const ActionRow& row, const fs::path& staging) {
  // Nobody knows when it was made: every file is compared byte for byte.
  const GuardedRemoval removal = removeVerifiedTree(staging, row.dest, ReplaceGuard(), files_);
  if (!present(staging)) return true;
  const std::string what = "an unfinished copy of " + row.dest + " at " + staging.string() +
                           " holds what the drive copy doesn't (" + named(removal.leftBehind()) +
                           ")";
  const auto kept = keepBeside(staging, row.src);
  if (!kept) {
    ctx_.log.say("rollback: " + what + " and could not be set aside: " + kept.error() +
                 ". Nothing of it was deleted.");
    return false;
  }
  ctx_.log.say("rollback: " + what + "; it is kept at " + kept->string() + ".");
  keptAtHome_.push_back(*kept);
  return true;
}

Outcome Rollback::reverse(const ActionRow& row) {
  const fs::path staging = stagingPath(row);
  const fs::path retired = retiredPath(row);
  // What a stopped rollback of this row left: a drive copy set aside means
  // the staged copy was complete.
  if (present(retired)) return finishStopped(row, staging, retired);
  // A drive copy missing only because the drive is unplugged must not be
  // dropped from the batch by the skip below, nor a copy made from it be
  // compared with a bare folder.
  if (!present(row.dest) && !driveConnected()) {
    return failed(row,
                  "The drive is not connected, so the row stays in the batch for a rollback "
                  "once it is back.");
  }
  if (present(staging)) {
    if (!waitUntilUnused(inUse_, staging.string())) {
      return failed(row, "A copy from an earlier rollback is still being written at " +
                             staging.string() + ".");
    }
    if (!dropStaging(row, staging)) {
      return failed(row, "A copy from an earlier rollback at " + staging.string() +
                             " holds files that are not on the drive and could not be set aside.");
    }
  }
  if (!present(row.dest) || present(row.src)) {
    ctx_.log.say("rollback skip (" + row.src + " already exists or " + row.dest + " missing)");
    return Outcome::kSkipped;
  }
  // Rule runs never archive a link (the path rules refuse one), so a link at
  // the drive path was put there since: it is not the item to bring home.
  if (fs::is_symlink(linkStatus(row.dest).value_or(fs::file_status{}))) {
    ctx_.log.say("rollback FAILED: " + row.dest +
                 " on the drive is now a symbolic link, not the item the rule archived there, so "
                 "it was left as it is and nothing was brought home for " +
                 row.src + ". Nothing was deleted.");
    return Outcome::kFailed;
  }
  // A parent that cannot be made shows as the rename's failure.
  bestEffort(files_.createDirectories(fs::path(row.src).parent_path()), diagnostics_,
             "recreating the folder an item goes back to");
  const std::error_code ec = files_.renameNoReplace(row.dest, row.src);
  if (!ec) return reversed(row);
  if (ec != std::errc::cross_device_link) return failed(row, ec.message() + ".");
  return copyAcross(row, staging, retired, std::chrono::system_clock::now());
}

Outcome Rollback::copyAcross(const ActionRow& row, const fs::path& staging, const fs::path& retired,
                             std::chrono::system_clock::time_point copyStarted) {
  const bool folder = fs::is_directory(linkStatus(row.dest).value_or(fs::file_status{}));
  ProcessInvocation copy;
  if (const std::string& rsync = ctx_.rsyncPath(); !rsync.empty()) {
    copy.path = rsync;
    copy.args = {"-aHEX", "--out-format=%n", folder ? row.dest + "/" : row.dest,
                 folder ? staging.string() + "/" : staging.string()};
    copy.onStdout = [](std::string_view names) {  // a line per item copied
      for (char c : names) {
        if (c == '\n') stopPoint("rollback:copying");
      }
    };
  } else {
    copy.path = findExecutable("cp");
    copy.args = {"-a", "--", row.dest, staging.string()};
  }
  copy.dieWithParent = true;  // a copy never outlives a stopped rollback
  ProcessResult copied = ctx_.platform.launcher->run(copy);
  if (!copied.succeeded()) {
    dropStaging(row, staging);
    return failed(row, "Copying it failed (" + copied.describe() + "): " + copied.err);
  }
  stopPoint("rollback:copied");
  if (const std::error_code ec = files_.renameNoReplace(row.dest, retired)) {
    dropStaging(row, staging);
    return failed(row, "Setting the drive copy aside failed: " + ec.message() + ".");
  }
  stopPoint("rollback:set-aside");
  if (files_.renameNoReplace(staging, row.src)) {
    const std::error_code back = files_.renameNoReplace(retired, row.dest);
    if (back) {
      return failed(row, "Something appeared at " + row.src + " meanwhile; the drive copy is at " +
                             retired.string() + " and a full copy at " + staging.string() + ".");
    }
    dropStaging(row, staging);
    return failed(row, "Something appeared at " + row.src + " meanwhile.");
  }
  stopPoint("rollback:placed");
  return settleRetired(row, retired, {.copyStarted = copyStarted});
}

// The drive copy goes file by file, each only when the guard finds it the
// same as what is home now; whatever was written on the drive during the
// copy stays, kept visibly beside the drive copy's old name and listed.
Outcome Rollback::settleRetired(const ActionRow& row, const fs::path& retired,
                                const GuardOptions& options) {
  // Nothing goes from the drive unless the item is home.
  if (!present(row.src)) return reversed(row);
  auto leftOnDrive = [&](const fs::path& at, const std::string& why) {
    ctx_.log.say("rollback: the drive copy of " + row.src + " set aside at " + at.string() +
                 " was left as it is: " + why +
                 " Nothing of it was deleted; running rollback again finishes it.");
    return Outcome::kFailed;
  };
  if (!driveConnected() || (drive_ && !drive_->holds(retired.parent_path())))
    return leftOnDrive(retired, "the drive is not connected.");
  const GuardedRemoval removal =
      removeVerifiedTree(retired, row.src, ReplaceGuard(options), files_);
  stopPoint("rollback:settled");
  if (removal.complete() && !present(retired)) return reversed(row);
  const std::vector<std::string> left = removal.leftBehind();
  if (!removal.failed.empty()) return leftOnDrive(retired, "some of it could not be removed.");
  const auto kept = keepBeside(retired, row.dest);
  if (!kept) return leftOnDrive(retired, kept.error() + ".");
  ctx_.log.say("rollback: " + row.src + " is back home; what changed on the drive while it was " +
               "being brought back is kept at " + kept->string() + " (" + named(left) + ").");
  keptAside_.push_back(*kept);
  return reversed(row);
}

Outcome Rollback::finishStopped(const ActionRow& row, const fs::path& staging,
                                const fs::path& retired) {
  if (present(staging)) {
    if (present(row.src)) {
      return failed(row, "Something appeared at " + row.src + " meanwhile; the drive copy is at " +
                             retired.string() + " and a full copy at " + staging.string() + ".");
    }
    if (const std::error_code ec = files_.renameNoReplace(staging, row.src))
      return failed(row, ec.message() + ".");
  } else if (!present(row.src)) {
    return failed(row, "An earlier rollback set the drive copy aside at " + retired.string() +
                           " and its copy beside " + row.src +
                           " is gone; the drive copy was left as it is.");
  }
  // When that copy began is not known: every file is compared byte for byte.
  return settleRetired(row, retired, {});
}

}  // namespace

int rollbackBatch(ServiceContext& ctx, Confirmation confirmation, std::istream& in,
                  const FolderInUseProbe& inUse, FileOperations& files) {
  // A rule run starts a new batch and archives into it: the batch read here
  // must stay the one being undone until rollback has finished.
  const auto lock = RuleRunLock::acquire(ctx.paths);
  if (!lock) {
    ctx.log.say(lock.error());
    return 1;
  }
  const std::vector<ActionRow> rows = readLastBatch(ctx.paths);
  if (rows.empty()) {
    ctx.out << "No batch to roll back.\n";
    return 0;
  }
  const ServiceConfig& cfg = ctx.cfg();
  std::vector<fs::path> safeFolders;
  for (const auto& folder : cfg.array(config_keys::kAppCachePaths))
    safeFolders.emplace_back(folder);
  const PathPolicy policy(PathPolicy::rootsFor(ctx.paths.home, cfg.base(), std::move(safeFolders)));
  std::vector<PlannedRow> planned;
  std::size_t toReverse = 0;
  for (const auto& row : rows) {
    planned.push_back(planRow(policy, row));
    toReverse += planned.back().plan == Plan::kReverse;
  }

  ctx.out << "Will reverse " << toReverse << " action(s):\n";
  for (const auto& p : planned) {
    if (p.plan == Plan::kReverse)
      ctx.out << "  " << p.row.action << "  " << p.row.src << " <- " << p.row.dest << "\n";
  }
  if (toReverse < planned.size()) {
    ctx.out << "Won't reverse " << planned.size() - toReverse << " action(s):\n";
    for (const auto& p : planned) {
      if (p.plan == Plan::kReverse) continue;
      ctx.out << "  " << p.row.action << "  " << p.row.src << " <- " << p.row.dest << "  (" << p.why
              << ")\n";
    }
  }
  if (confirmation == Confirmation::kAskOnTerminal) {
    ctx.out << "Proceed? (yes/no) ";
    ctx.out.flush();
    std::string answer;
    std::getline(in, answer);
    if (answer != "yes") return 0;
  } else if (confirmation == Confirmation::kNonInteractive) {
    ctx.out << "(non-interactive context \u2014 proceeding)\n";
  }

  // The batch file always holds what is left to do: rows kept so far, the
  // rows not reached yet, and anything move-dir appended meanwhile. Rows
  // leave it one by one as they are finished, each taken out where it is
  // now, so the rewrite never drops a row it did not read.
  const DiagnosticsLog diagnostics(ctx.paths.diagnosticsLog, ctx.clock);
  std::vector<ActionRow> kept;
  std::vector<ActionRow> finished;
  std::optional<std::string> unrecorded;  // why the batch file could not be updated
  auto rewriteBatch = [&] {
    if (finished.empty()) return;
    auto written = editLastBatch(ctx.paths, [&](std::vector<ActionRow>& current) {
      for (const auto& row : finished) {
        auto at = std::find(current.begin(), current.end(), row);
        if (at != current.end()) current.erase(at);
      }
    });
    if (!written && !unrecorded) unrecorded = written.error().message();
    finished.clear();
  };

  Rollback rollback(ctx, inUse, files, MountAnchor::take(cfg.nvme()));
  int reversed = 0;
  int skipped = 0;
  for (const PlannedRow& p : planned) {
    switch (p.plan) {
      case Plan::kReverse: {
        const Outcome outcome = rollback.reverse(p.row);
        reversed += outcome == Outcome::kReversed;
        skipped += outcome == Outcome::kSkipped;
        (outcome == Outcome::kFailed ? kept : finished).push_back(p.row);
        rewriteBatch();
        stopPoint("rollback:row");
        break;
      }
      case Plan::kCannotUndo:
        if (p.row.action == "delete" || p.row.action == "delete-cache") {
          ctx.log.say("rollback: cannot undo delete of " + p.row.src);
          ++skipped;
        }
        if (p.row.action == "trash") {
          ctx.log.say("rollback: " + p.row.src + " went to the Trash as " + p.row.dest +
                      "; put it back from the Trash");
          ++skipped;
        }
        finished.push_back(p.row);
        break;
      case Plan::kRefused:
        ctx.log.say("rollback refused: " + p.why);
        kept.push_back(p.row);
        break;
      case Plan::kPassOver: finished.push_back(p.row); break;
    }
  }
  rewriteBatch();
  ctx.out << "Reversed: " << reversed << ".  Skipped: " << skipped << ".\n";
  if (!rollback.keptAside().empty()) {
    ctx.out << "Kept aside on the drive: " << rollback.keptAside().size()
            << " version(s) that changed while being brought back:\n";
    for (const auto& at : rollback.keptAside()) ctx.out << "  " << at.string() << "\n";
  }
  if (!rollback.keptAtHome().empty()) {
    ctx.out << "Kept at home: " << rollback.keptAtHome().size()
            << " unfinished copy(ies) holding files that are not on the drive:\n";
    for (const auto& at : rollback.keptAtHome()) ctx.out << "  " << at.string() << "\n";
  }
  if (!kept.empty()) {
    ctx.out
        << "Kept in the batch: " << kept.size()
        << " action(s) that could not be reversed (see above). Nothing of theirs was deleted.\n";
  }
  if (unrecorded) {
    ctx.out << "The undo record " << ctx.paths.lastBatch.string() << " couldn't be updated ("
            << *unrecorded
            << "). What was moved back is home; a later rollback skips it. Nothing was lost.\n";
  }
  bestEffort(writeStatusJson(ctx).saved, diagnostics, "writing the status snapshot");
  return kept.empty() && !unrecorded ? 0 : 1;
}

int rollbackCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  bool yes = false;
  for (const auto& arg : args) yes = yes || arg == "--yes" || arg == "-y";
  const Confirmation confirmation = yes                    ? Confirmation::kAlreadyGiven
                                    : isatty(STDIN_FILENO) ? Confirmation::kAskOnTerminal
                                                           : Confirmation::kNonInteractive;
  return rollbackBatch(ctx, confirmation, std::cin,
                       FolderInUseProbe::forThisSystem(platform::runnerOf(*ctx.platform.launcher)));
}

}  // namespace brimvale::service
