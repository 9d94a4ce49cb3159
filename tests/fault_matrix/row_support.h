// What the rows of the fault matrix share: the user's tree they move, and
// small checks of where things ended up.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fault_matrix.h"

namespace brimvale::faults {

// A small tree of a user's work at `root`: a few folders, files of a few
// kilobytes with distinct contents, a name with a blank and a non-ASCII letter.
void writeUserTree(const std::filesystem::path& root, int files = 12);

// Whether `path` lies strictly below `folder`, compared as written.
[[nodiscard]] bool isBelow(const std::filesystem::path& path, const std::filesystem::path& folder);

// Sets the modification time of `root` and everything below it `days` days back.
void ageTree(const std::filesystem::path& root, int days);

// Adds `lines` to the world's configuration.
void addConfig(const FaultWorld& world, const std::string& lines);

// The records `brimvale moves --json` lists.
[[nodiscard]] nlohmann::json moves(Scene& s);

// Sets the time the programs read from the world's clock file (--clock-file);
// returns the option that makes a program read it.
std::string setClock(Scene& s, std::time_t now);

// `brimvale run` as a cell's command, on the world's clock: it does at once
// what its timers would do in their time, and quits by itself once that work
// has ended.
[[nodiscard]] Invocation unattendedRun(Scene& s);

// What the service's action log claims holds: every move's copy is on the
// drive, every deleted item is gone, every item put in the Trash is there and
// no longer where it was. Empty when it does, else what does not.
[[nodiscard]] std::string actionsHold(Scene& s);

// Items in the home's Trash that the desktop cannot put back: no record
// beside them, or a record without the place the item came from (bytes, and
// what, for a row's unrecoverable).
[[nodiscard]] std::pair<std::uintmax_t, std::vector<std::string>> trashWithoutWayBack(Scene& s);

}  // namespace brimvale::faults
