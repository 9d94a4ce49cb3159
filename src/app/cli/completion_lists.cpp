#include "app/cli/completion_lists.h"

#include <ostream>

#include "cloud/rclone_client.h"
#include "cloud/rclone_locator.h"
#include "common/base/file_calls.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "mover/manifest.h"

namespace brimvale::app {
namespace {

constexpr std::string_view kMoveIds = "move-ids";
constexpr std::string_view kRemotes = "remotes";

void printMoveIds(CommandContext& c) {
  // The store makes its folder when missing; a listing must not.
  const auto folder = c.paths.state / "folder-moves";
  if (!isDirectory(folder).value_or(false)) return;
  const mover::ManifestStore store(c.paths.state, {}, systemClock());
  for (const auto& move : mover::listedMoves(store.all())) c.out << move.id << "\n";
}

// "name:" per remote, as transfers and browse take them.
void printRemoteNames(CommandContext& c) {
  const ProcessRunner run = platform::runnerOf(*c.base.launcher);
  const cloud::RcloneClient client(cloud::locateRclone(cloud::defaultRcloneSearch(), run), run);
  const auto listing = client.run({"listremotes"});
  if (!listing || listing->status != 0) return;
  for (const auto& line : splitLines(listing->out)) {
    if (const auto name = trimBlanks(line); !name.empty()) c.out << name << "\n";
  }
}

}  // namespace

std::vector<std::string> completionLists() {
  return {std::string(kMoveIds), std::string(kRemotes)};
}

int printCompletionList(CommandContext& c, std::string_view list) {
  if (list == kMoveIds) printMoveIds(c);
  if (list == kRemotes) printRemoteNames(c);
  return 0;
}

}  // namespace brimvale::app
