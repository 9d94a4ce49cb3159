#include "app/cli/uninstall_command.h"

#include <istream>
#include <ostream>

#include "app/cli/confirmation.h"
#include "common/base/file_calls.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/yes_answer.h"
#include "mover/safety_checks.h"
#include "relocated/uninstall_relocations.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;

bool presentAt(const fs::path& p) { return fs::exists(linkStatus(p).value_or(fs::file_status{})); }

// The command as given, to repeat with --yes.
std::string commandGiven(const UninstallOptions& o) {
  std::string command = "brimvale uninstall";
  if (o.purge) command += " --purge";
  if (o.leaveRelocated) command += " --leave-relocated";
  return command;
}

relocated::RelocationCheck readRelocations(const UninstallHost& h) {
  return relocated::readStillRelocated(h.paths, h.computerName, h.isMounted);
}

bool nothingRelocated(const relocated::RelocationCheck& check) {
  return check.items.empty() && check.incomplete.empty();
}

void listRelocations(UninstallHost& h, const relocated::RelocationCheck& check) {
  if (!check.items.empty()) h.out << "Still relocated to the drive:\n";
  for (const auto& item : check.items) {
    h.out << "  " << item.name << " → " << item.copy.string() << "  (bring it home: `"
          << item.command << "`)\n";
  }
  if (!check.incomplete.empty()) h.out << check.incomplete << "\n";
}

// True when the relocations listed stop the uninstall; the refusal is said.
bool refusedForRelocations(UninstallHost& h, const UninstallOptions& o,
                           const relocated::RelocationCheck& check, bool listed) {
  if (nothingRelocated(check)) return false;
  if (!listed) listRelocations(h, check);
  if (o.purge) {
    h.err << "Nothing was removed. --purge would delete the records that find these copies on "
             "the drive, so it waits until nothing is relocated: bring everything home first "
             "with `brimvale panic-recovery` (or one at a time with the command beside each), "
             "then run `brimvale uninstall --purge` again.\n";
    return true;
  }
  if (o.leaveRelocated) return false;
  h.err << "Nothing was removed. Uninstalling now would leave links into the drive behind: "
           "bring everything home first with `brimvale panic-recovery` (or one at a time with "
           "the command beside each), or run `brimvale uninstall --leave-relocated` to "
           "uninstall anyway (the links keep working while the drive is attached).\n";
  return true;
}

enum class Offer { kNone, kDeclined, kFailed, kAllHome };

// On a terminal, offers to bring the relocations home before uninstalling
// (they are listed first). The relocator lock is let go meanwhile, as the
// homecoming takes it for each step; `check` is read again after.
Offer offerBringingHome(UninstallHost& h, const UninstallOptions& o, mover::RelocatorLock& lock,
                        relocated::RelocationCheck& check) {
  if (check.items.empty() || (o.leaveRelocated && !o.purge)) return Offer::kNone;
  if (!h.interactive || o.dryRun || !h.bringEverythingHome) return Offer::kNone;
  listRelocations(h, check);
  h.out << "Bring them all home first (`brimvale panic-recovery`)? [y/N] " << std::flush;
  if (!readsYes(h.in)) return Offer::kDeclined;
  lock.release();
  const int code = h.bringEverythingHome();
  if (auto taken = lock.acquire(std::chrono::milliseconds(0)); !taken) {
    h.err << taken.error().detail << " Nothing was removed; run `brimvale uninstall` again once "
          << "that has finished.\n";
    return Offer::kFailed;
  }
  check = readRelocations(h);
  if (code != 0 || !nothingRelocated(check)) {
    h.err << "Nothing was removed: not everything came home (see above). What is left is on the "
             "drive and its links still work; run `brimvale uninstall` again once it is home.\n";
    return Offer::kFailed;
  }
  return Offer::kAllHome;
}

// Removes each file that is there; false when one stayed, each said.
bool removeInstalledFiles(UninstallHost& h, const std::vector<fs::path>& files) {
  bool allGone = true;
  for (const auto& file : files) {
    if (auto removed = removePath(file); !removed) {
      h.err << "Couldn't remove " << file.string() << " (" << removed.error().detail
            << "). Your data is safe; remove that file by hand or run "
            << "`brimvale uninstall` again.\n";
      allGone = false;
      continue;
    }
    h.out << "Removed " << file.string() << "\n";
  }
  return allGone;
}

}  // namespace

int uninstallCommand(UninstallHost& h, const UninstallOptions& o) {
  const bool hasState = isDirectory(h.paths.state).value_or(false);
  // While held, no folder move starts, so nothing becomes relocated after the list is read.
  mover::RelocatorLock relocator(h.paths.state);
  if (hasState) {
    if (auto taken = relocator.acquire(std::chrono::milliseconds(0)); !taken) {
      h.err << taken.error().detail << " Nothing was removed; run `brimvale uninstall` again "
            << "once that has finished.\n";
      return 1;
    }
  }
  stopPoint("uninstall:locked");
  relocated::RelocationCheck relocated = readRelocations(h);
  const Offer offer = offerBringingHome(h, o, relocator, relocated);
  if (offer == Offer::kFailed) return 1;
  if (refusedForRelocations(h, o, relocated, offer == Offer::kDeclined)) return 1;

  std::vector<fs::path> files;
  for (const auto& file : h.installer.installedFiles()) {
    if (presentAt(file)) files.push_back(file);
  }
  const bool purgeState = o.purge && presentAt(h.paths.root);
  if (files.empty() && !purgeState && !h.services.state().pid) {
    h.out << "Brimvale is not installed here; there is nothing to uninstall.\n";
    return 0;
  }
  h.out << "Uninstalling Brimvale stops it and removes:\n";
  for (const auto& file : files) h.out << "  " << file.string() << "\n";
  if (purgeState) {
    h.out << "  " << h.paths.root.string() << " (your settings, history and Brimvale's records)\n";
  } else if (presentAt(h.paths.root)) {
    h.out << "Your settings and data in " << h.paths.root.string() << " are kept.\n";
  }
  const Verdict verdict =
      confirmation({h.in, h.interactive, h.out, h.err, commandGiven(o)},
                   {.yes = o.yes, .dryRun = o.dryRun})("Brimvale is uninstalled as listed above.");
  if (verdict != Verdict::kGo) return stoppedStatus(verdict);

  auto stopped = stopBrimvale(h.paths, h.services, h.limits);
  if (!stopped) {
    h.err << stopped.error().detail << " Nothing was removed.\n";
    return 1;
  }
  for (const auto& line : *stopped) h.out << line << "\n";
  bool complete = removeInstalledFiles(h, files);
  if (purgeState) {
    if (auto removed = removeAll(h.paths.root); !removed) {
      h.err << "Couldn't remove " << h.paths.root.string() << " (" << removed.error().detail
            << "). Nothing is relocated, so no data depends on it; run `brimvale uninstall "
               "--purge` again.\n";
      complete = false;
    } else {
      h.out << "Removed " << h.paths.root.string() << "\n";
    }
  }
  if (!complete) return 1;
  if (!relocated.items.empty()) {
    h.out << "What is listed above stays on the drive; its links keep working while the drive "
             "is attached.\n";
  }
  h.out << (purgeState ? "✓ Brimvale is uninstalled, and its settings and data are removed.\n"
                       : "✓ Brimvale is uninstalled.\n");
  return 0;
}

}  // namespace brimvale::app
