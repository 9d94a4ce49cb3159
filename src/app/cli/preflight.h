// `brimvale preflight`: everything a first relocation needs, each condition
// on its own line with the fix when it does not hold.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/state/paths.h"

namespace brimvale::app {

// The drive needs at least this much room before a first relocation is worth starting.
inline constexpr std::uint64_t kPreflightDriveFreeBytes = 1'000'000'000;

// What was found; gathered by the command, judged by preflightChecks.
struct PreflightFacts {
  std::filesystem::path mount;    // where the drive is expected; empty when none is known
  std::filesystem::path working;  // its working folder
  std::string driveUnknown;       // why no drive is known, one sentence; empty when one is
  bool mounted = false;           // a volume is mounted on exactly `mount`
  bool laidOut = false;           // the working folder holds its marker
  std::string rsyncPath;          // GNU rsync; empty when none was found
  std::optional<std::uint64_t> driveFreeBytes;
  std::string stateProblem;  // why the state folder cannot be written; empty when it can
  bool installed = false;    // the service program and its definition are in place
  bool running = false;      // the service is running now
  std::size_t parked = 0;    // parked originals in the home folder
  std::size_t unfinishedMoves = 0;
};

struct PreflightCheck {
  bool ok = false;
  std::string line;  // what holds, or what does not
  std::string fix;   // what to do; empty when ok
};

// One check per condition, in the order a person would fix them.
[[nodiscard]] std::vector<PreflightCheck> preflightChecks(const PreflightFacts& facts);

// "✓ line" or "✗ line" and "  → fix" for each, then a closing sentence.
[[nodiscard]] std::string renderPreflight(const std::vector<PreflightCheck>& checks);

// Writes and removes a probe file in `paths.state` (creating the folder);
// nothing when that works, else why not.
[[nodiscard]] std::string stateFolderProblem(const StatePaths& paths);

}  // namespace brimvale::app
