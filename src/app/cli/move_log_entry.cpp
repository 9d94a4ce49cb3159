#include "app/cli/move_log_entry.h"

#include <string>

#include "app/cli/mover_context.h"
#include "app/core/mover_commands.h"

namespace brimvale::app {
namespace {

struct MoveLogOptions {
  std::string id;  // only this move's lines; empty: every move's
  bool verbose = false;
};

void options(CLI::App& sub, MoveLogOptions& o) {
  sub.add_option("id", o.id, "only the lines of this move (id prefix)");
  sub.add_flag("--verbose", o.verbose, "every line, copy-tool output included, not only phases");
}

int moveLog(CommandContext& c, MoveLogOptions& o) {
  auto mc = moverContext(c);
  return moveLogCommand(
      mc, o.id, o.verbose ? mover::MoverLogDetail::kEverything : mover::MoverLogDetail::kPhases);
}

}  // namespace

CommandEntry moveLogEntry() {
  return commandEntry<MoveLogOptions>("move-log", "the folder mover's log, optionally of one move",
                                      options, moveLog);
}

}  // namespace brimvale::app
