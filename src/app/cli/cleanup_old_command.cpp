#include "app/cli/cleanup_old_command.h"

#include <string>
#include <vector>

#include "app/cli/parked_command.h"
#include "common/base/yes_answer.h"
#include "relocated/parked_originals.h"

namespace brimvale::app {

int cleanupOldCommand(CleanupOldHost& host, const CleanupOldOptions& options) {
  const auto list = relocated::listParked(host.paths.home);
  host.out << renderParkedList(list);
  std::vector<std::filesystem::path> verified;
  for (const auto& p : list) {
    if (p.state == relocated::ParkedState::kMatches) verified.push_back(p.parked);
  }
  if (list.empty()) return 0;
  if (verified.empty()) {
    host.out << "\nNone of them can be deleted yet: each one's copy must hold everything in it "
                "first. Nothing was deleted.\n";
    // Told to delete, and nothing could be: not a success.
    return options.yes && !options.dryRun ? 1 : 0;
  }
  const std::string count = std::to_string(verified.size()) + " parked original(s)";
  if (options.dryRun) {
    host.out << "\nDry run: " << count
             << " would be compared byte for byte with their copies and deleted. Nothing was "
                "deleted.\n";
    return 0;
  }
  if (!options.yes) {
    if (!host.interactive) {
      host.out << "\nNothing was deleted. Run it with --yes to delete the " << count
               << " whose copy matches.\n";
      return 0;
    }
    host.out << "\nDelete the " << count
             << " whose copy matches, each after comparing it byte for byte? [y/N] " << std::flush;
    if (!readsYes(host.in)) {
      host.out << "Nothing was deleted.\n";
      return 1;
    }
  }
  int status = 0;
  for (const auto& parked : verified) {
    const relocated::ConfirmOutcome outcome = relocated::confirmParked(
        {.home = host.paths.home, .stateDir = host.paths.state, .path = parked.string()});
    const bool deleted = outcome.result == relocated::ConfirmResult::kDeleted;
    (deleted ? host.out : host.err) << relocated::confirmSentence(outcome) << "\n";
    if (!deleted) status = 1;
  }
  return status;
}

}  // namespace brimvale::app
