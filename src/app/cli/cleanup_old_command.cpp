#include "app/cli/cleanup_old_command.h"

#include <string>
#include <vector>

#include "app/cli/confirmation.h"
#include "app/cli/parked_command.h"
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
  const Verdict verdict =
      confirmation({host.in, host.interactive, host.out, host.err, "brimvale cleanup-old"},
                   {.yes = options.yes, .dryRun = options.dryRun})(
          "\nDelete the " + std::to_string(verified.size()) +
          " parked original(s) whose copy matches, each after comparing it byte for byte.");
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);
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
