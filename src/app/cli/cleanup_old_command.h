// `brimvale cleanup-old`: the parked originals relocations left behind,
// listed, and the ones whose copy holds everything deleted after one question.
#pragma once

#include <istream>
#include <ostream>

#include "common/state/paths.h"

namespace brimvale::app {

struct CleanupOldOptions {
  bool yes = false;     // no question (for scripts)
  bool dryRun = false;  // list only
};

struct CleanupOldHost {
  StatePaths paths;
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool interactive = false;  // `in` is a terminal: the question can be asked
};

// Lists every parked original with its state; then, when allowed, deletes
// each whose copy matched, each compared again byte for byte under the
// relocator lock first (a copy that differs keeps its original). 0 when
// nothing failed or only the plan was shown; 1 when a deletion was refused
// or not confirmed.
[[nodiscard]] int cleanupOldCommand(CleanupOldHost& host, const CleanupOldOptions& options);

}  // namespace brimvale::app
