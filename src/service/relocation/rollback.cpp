#include "service/relocation/rollback.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <iostream>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/stop_point.h"
#include "common/state/config_keys.h"
#include "common/state/path_policy.h"
#include "service/core/action_log.h"
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
  if (row.action.starts_with("reclaim-"))
    return {row, Plan::kCannotUndo, "cleared clutter; that can't be undone"};
  if (row.action == "relocate")
    return {row, Plan::kPassOver, "rollback doesn't move relocated folders back"};
  if (row.action != "move") return {row, Plan::kPassOver, "not an action rollback can undo"};
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
  Rollback(ServiceContext& ctx, const FolderInUseProbe& inUse, FileOperations& files)
      : ctx_(ctx),
        inUse_(inUse),
        files_(files),
        diagnostics_(ctx.paths.diagnosticsLog, ctx.clock) {}
  Outcome reverse(const ActionRow& row);

 private:
  Outcome failed(const ActionRow& row, const std::string& why) {
    ctx_.log.say("rollback FAILED: couldn't move " + row.dest + " back to " + row.src +
                 "; it is still safe at " + row.dest + ". " + why);
    return Outcome::kFailed;
  }
  Outcome reversed(const ActionRow& row) {
    ctx_.log.say("rollback: " + row.dest + " -> " + row.src);
    return Outcome::kReversed;
  }
  Outcome finishStopped(const ActionRow& row, const fs::path& staging, const fs::path& retired);
  Outcome copyAcross(const ActionRow& row, const fs::path& staging, const fs::path& retired);

  // A staged copy is only ever a spare: the item is whole at the destination.
  void dropStaging(const fs::path& staging) {
    bestEffort(files_.removeAll(staging), diagnostics_, "removing a staged rollback copy");
  }
  // Says when the drive copy set aside after placing the item cannot go.
  void dropRetired(const fs::path& retired) {
    if (const std::error_code ec = files_.removeAll(retired))
      ctx_.log.say("rollback: the drive copy " + retired.string() +
                   " could not be removed: " + ec.message());
  }

  ServiceContext& ctx_;
  const FolderInUseProbe& inUse_;
  FileOperations& files_;
  const DiagnosticsLog diagnostics_;
};

Outcome Rollback::reverse(const ActionRow& row) {
  const fs::path staging = stagingPath(row);
  const fs::path retired = retiredPath(row);
  // What a stopped rollback of this row left: a drive copy set aside means
  // the staged copy was complete.
  if (present(retired)) return finishStopped(row, staging, retired);
  if (present(staging)) {
    if (!waitUntilUnused(inUse_, staging.string())) {
      return failed(row, "A copy from an earlier rollback is still being written at " +
                             staging.string() + ".");
    }
    dropStaging(staging);
  }
  if (!present(row.dest) || present(row.src)) {
    ctx_.log.say("rollback skip (" + row.src + " already exists or " + row.dest + " missing)");
    return Outcome::kSkipped;
  }
  // A parent that cannot be made shows as the rename's failure.
  bestEffort(files_.createDirectories(fs::path(row.src).parent_path()), diagnostics_,
             "recreating the folder an item goes back to");
  const std::error_code ec = files_.renameNoReplace(row.dest, row.src);
  if (!ec) return reversed(row);
  if (ec != std::errc::cross_device_link) return failed(row, ec.message() + ".");
  return copyAcross(row, staging, retired);
}

Outcome Rollback::copyAcross(const ActionRow& row, const fs::path& staging,
                             const fs::path& retired) {
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
  ProcessResult copied = runProcess(copy);
  if (!copied.succeeded()) {
    dropStaging(staging);
    return failed(row, "Copying it failed (" + copied.describe() + "): " + copied.err);
  }
  stopPoint("rollback:copied");
  if (const std::error_code ec = files_.renameNoReplace(row.dest, retired)) {
    dropStaging(staging);
    return failed(row, "Setting the drive copy aside failed: " + ec.message() + ".");
  }
  stopPoint("rollback:set-aside");
  if (files_.renameNoReplace(staging, row.src)) {
    const std::error_code back = files_.renameNoReplace(retired, row.dest);
    if (back) {
      return failed(row, "Something appeared at " + row.src + " meanwhile; the drive copy is at " +
                             retired.string() + " and a full copy at " + staging.string() + ".");
    }
    dropStaging(staging);
    return failed(row, "Something appeared at " + row.src + " meanwhile.");
  }
  stopPoint("rollback:placed");
  dropRetired(retired);
  return reversed(row);
}

Outcome Rollback::finishStopped(const ActionRow& row, const fs::path& staging,
                                const fs::path& retired) {
  if (!present(row.src)) {
    if (!present(staging)) {
      return failed(row, "An earlier rollback set the drive copy aside at " + retired.string() +
                             " and its copy beside " + row.src +
                             " is gone; the drive copy was left as it is.");
    }
    if (const std::error_code ec = files_.renameNoReplace(staging, row.src))
      return failed(row, ec.message() + ".");
  }
  dropRetired(retired);
  return reversed(row);
}

}  // namespace

int rollbackBatch(ServiceContext& ctx, Confirmation confirmation, std::istream& in,
                  const FolderInUseProbe& inUse, FileOperations& files) {
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
  // rows not reached yet, and anything another run appended meanwhile.
  const DiagnosticsLog diagnostics(ctx.paths.diagnosticsLog, ctx.clock);
  std::vector<ActionRow> kept;
  std::vector<ActionRow> appended;
  std::size_t inFile = rows.size();
  auto rewriteBatch = [&](std::size_t next) {
    const std::vector<ActionRow> current = readLastBatch(ctx.paths);
    for (std::size_t i = inFile; i < current.size(); ++i) appended.push_back(current[i]);
    std::vector<ActionRow> left = kept;
    left.insert(left.end(), rows.begin() + static_cast<std::ptrdiff_t>(next), rows.end());
    left.insert(left.end(), appended.begin(), appended.end());
    inFile = left.size();
    bestEffort(writeLastBatch(ctx.paths, left), diagnostics, "rewriting the batch");
  };

  Rollback rollback(ctx, inUse, files);
  int reversed = 0;
  int skipped = 0;
  for (std::size_t i = 0; i < planned.size(); ++i) {
    const PlannedRow& p = planned[i];
    switch (p.plan) {
      case Plan::kReverse:
        switch (rollback.reverse(p.row)) {
          case Outcome::kReversed: ++reversed; break;
          case Outcome::kSkipped: ++skipped; break;
          case Outcome::kFailed: kept.push_back(p.row); break;
        }
        rewriteBatch(i + 1);
        stopPoint("rollback:row");
        break;
      case Plan::kCannotUndo:
        if (p.row.action == "delete" || p.row.action == "delete-cache") {
          ctx.log.say("rollback: cannot undo delete of " + p.row.src);
          ++skipped;
        }
        break;
      case Plan::kRefused:
        ctx.log.say("rollback refused: " + p.why);
        kept.push_back(p.row);
        break;
      case Plan::kPassOver: break;
    }
  }
  rewriteBatch(rows.size());
  ctx.out << "Reversed: " << reversed << ".  Skipped: " << skipped << ".\n";
  if (!kept.empty()) {
    ctx.out
        << "Kept in the batch: " << kept.size()
        << " action(s) that could not be reversed (see above). Nothing of theirs was deleted.\n";
  }
  bestEffort(writeStatusJson(ctx).saved, diagnostics, "writing the status snapshot");
  return kept.empty() ? 0 : 1;
}

int rollbackCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  bool yes = false;
  for (const auto& arg : args) yes = yes || arg == "--yes" || arg == "-y";
  const Confirmation confirmation = yes                    ? Confirmation::kAlreadyGiven
                                    : isatty(STDIN_FILENO) ? Confirmation::kAskOnTerminal
                                                           : Confirmation::kNonInteractive;
  return rollbackBatch(ctx, confirmation, std::cin, FolderInUseProbe::forThisSystem());
}

}  // namespace brimvale::service
