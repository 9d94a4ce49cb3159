#include "service/rollback.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "common/file_io.h"
#include "service/action_log.h"
#include "service/archive.h"
#include "service/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;

int rollbackBatch(ServiceContext& ctx, Confirmation confirmation, std::istream& in) {
  const std::vector<ActionRow> rows = readLastBatch(ctx.paths);
  if (rows.empty()) {
    ctx.out << "No batch to roll back.\n";
    return 0;
  }
  ctx.out << "Will reverse " << rows.size() << " action(s):\n";
  for (const auto& row : rows) {
    ctx.out << "  " << row.action << "  " << row.src << " <- " << row.dest << "\n";
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

  int reversed = 0;
  int skipped = 0;
  for (const auto& row : rows) {
    if (row.action == "move") {
      std::error_code ec;
      const bool destThere = fs::exists(fs::symlink_status(row.dest, ec));
      const bool srcFree = !fs::exists(fs::symlink_status(row.src, ec));
      if (!destThere || !srcFree) {
        ctx.log.say("rollback skip (" + row.src + " already exists or " + row.dest + " missing)");
        ++skipped;
        continue;
      }
      fs::create_directories(fs::path(row.src).parent_path(), ec);
      if (auto moved = plainMove(row.dest, row.src); !moved) {
        ctx.log.say("rollback FAILED: couldn't move " + row.dest + " back to " + row.src +
                    "; it is still safe at " + row.dest + ". " + moved.error().detail);
        continue;
      }
      ctx.log.say("rollback: " + row.dest + " -> " + row.src);
      ++reversed;
    } else if (row.action == "delete" || row.action == "delete-cache") {
      ctx.log.say("rollback: cannot undo delete of " + row.src);
      ++skipped;
    }
  }
  (void)newBatch(ctx.paths);
  ctx.out << "Reversed: " << reversed << ".  Skipped: " << skipped << ".\n";
  (void)writeStatusJson(ctx);
  return 0;
}

int rollbackCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  bool yes = false;
  for (const auto& arg : args) yes = yes || arg == "--yes" || arg == "-y";
  const Confirmation confirmation = yes                ? Confirmation::kAlreadyGiven
                                    : isatty(STDIN_FILENO) ? Confirmation::kAskOnTerminal
                                                           : Confirmation::kNonInteractive;
  return rollbackBatch(ctx, confirmation, std::cin);
}

}  // namespace brimvale::service
