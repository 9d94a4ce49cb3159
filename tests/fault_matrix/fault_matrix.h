// The fault matrix: every command that moves or deletes, against every fault
// users cause. A cell lays out a fresh world, strikes with one fault at one
// moment of the work, and counts what the user lost (content found nowhere
// afterwards) and false successes (exit 0 or a success text while what the
// command claims does not hold). Both must be 0 in every cell.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/base/raw_names.h"
#include "fault_world.h"

namespace brimvale::faults {

enum class Fault {
  kWriter,         // a program appends, saves by rename and adds files meanwhile
  kKillRerun,      // kill -9 at a step, then the same command again
  kTwiceAtOnce,    // the same command started twice at the same moment
  kUnplugged,      // the drive unplugged at a step, plugged back, the command run again
  kDriveFull,      // the drive has almost no free space
  kStateFull,      // ~/.brimvale/state is full
  kStateReadOnly,  // ~/.brimvale/state is a read-only mount (root ignores modes)
  kJunkState,      // every state file overwritten with junk
  kPlantedLink,    // the folder worked on swapped for a link to another folder at a step
};
inline constexpr std::array<RawName<Fault>, 9> kFaultNames{{
    {Fault::kWriter, "writer"},
    {Fault::kKillRerun, "kill+rerun"},
    {Fault::kTwiceAtOnce, "twice"},
    {Fault::kUnplugged, "unplugged"},
    {Fault::kDriveFull, "drive-full"},
    {Fault::kStateFull, "state-full"},
    {Fault::kStateReadOnly, "state-ro"},
    {Fault::kJunkState, "junk-state"},
    {Fault::kPlantedLink, "planted-link"},
}};

// What a row's preparation laid out, for the cell and the row's check.
struct Scene {
  FaultWorld& world;
  Invocation command;
  // Commands that finish what `command` began, run in order while each
  // succeeds (a transfer's start, then its wait); the last one is judged.
  std::vector<Invocation> then;
  // What the user runs again after a kill or an unplug; empty: the same commands.
  std::vector<Invocation> rerun;
  // The folder the command works on: a writer writes in it, a link is planted in its place.
  std::filesystem::path target;
  // Where the target went when a link was planted in its place; empty until then.
  std::filesystem::path movedAside;
  // What the command is meant to delete (its dry run lists it): not counted as lost.
  std::vector<std::filesystem::path> deletes;
  // Anything else the row wants to remember between preparing and checking.
  std::map<std::string, std::string> notes;
  // Places outside the world where the command keeps this cell's content
  // (an app under /Applications, its parked and kept versions), listed
  // afresh before and after the cell and removed with it; may be empty.
  std::function<std::vector<std::filesystem::path>()> moreRoots;
  // What the run being judged printed, for a claim that depends on what it said.
  std::string judgedOut;
};

struct Row {
  std::string name;  // the command as a user types it
  // Lays out a fresh world for one cell and fills in the scene; false (with
  // a failed expectation) when the world could not be made.
  std::function<bool(Scene&)> prepare;
  // Steps (stop points) at which a kill, a pause for a writer, an unplug or
  // a planted link strikes; empty: the fault strikes while the command runs.
  std::vector<std::string> moments;
  // After a run that claimed success: empty when the claim holds, else what is wrong.
  std::function<std::string(Scene&)> claimHolds;
  // Words on standard output that claim success; empty: exit status 0 alone.
  std::string successText;
  // Faults that cannot apply to this command, each with why.
  std::map<Fault, std::string> notApplicable;
  // Content found afterwards that the user still cannot get back the way the
  // command promised (an item in the Trash without the record it is put back
  // from): bytes and what, counted as lost. Empty: the ledger alone judges.
  std::function<std::pair<std::uintmax_t, std::vector<std::string>>(Scene&)> unrecoverable;
};

struct CellResult {
  std::string row;
  Fault fault = Fault::kWriter;
  std::string moment;
  bool applicable = true;
  std::string note;  // why n/a, or what went wrong
  std::uintmax_t bytesLost = 0;
  int falseSuccesses = 0;
  int runs = 0;
  bool unreached = false;  // the program never came to the cell's moment
};

// Runs one cell in a world of its own. `moment` is one of the row's moments
// (empty when it has none).
[[nodiscard]] CellResult runCell(const Row& row, Fault fault, const std::string& moment);

// Every row, in table order (rows_*.cpp contribute theirs).
[[nodiscard]] const std::vector<Row>& allRows();

// Rows of each group of commands, gathered by allRows().
std::vector<Row> moverRows();
std::vector<Row> serviceRows();
std::vector<Row> appsRows();
std::vector<Row> cloudRows();
std::vector<Row> driveTransferRows();
std::vector<Row> appCleanupRows();
std::vector<Row> rollbackRows();
std::vector<Row> recoveryRows();

}  // namespace brimvale::faults
