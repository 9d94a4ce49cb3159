// What the drive-to-drive transfer scenarios share: a managed working folder
// on a source drive named by the home's configuration, the job's status as
// the user's programs read it, and the watch loop's tick.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "e2e_harness.h"

namespace brimvale::e2e {

// The process id and the running test's name, for names no other test uses.
[[nodiscard]] std::string testTag();

// Lays out a managed working folder with `files` MiB-sized files of random
// bytes (from `seed`) in Media/Movies on `drive`, and points `home`'s
// configuration at the drive; the working folder's path.
std::filesystem::path prepareTransferSource(const TempHome& home, const TmpfsDrive& drive,
                                            int files, unsigned seed);

// What `transfer-status` prints, parsed.
[[nodiscard]] nlohmann::json transferStatus(const TempHome& home);

// Polls the status until its phase is `phase`, for at most `seconds`; the
// last status read (a test failure when the phase never came).
nlohmann::json waitForTransferPhase(const TempHome& home, const std::string& phase,
                                    int seconds = 60);

// One watch-loop tick of the transfer job, run in this process the way the
// loop runs it.
void transferWatchTick(const TempHome& home);

}  // namespace brimvale::e2e
