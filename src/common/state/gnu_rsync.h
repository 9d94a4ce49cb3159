// Finding a GNU rsync 3.x or later: every local copy relies on its options
// and output, so the openrsync that some systems ship as rsync is refused.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"

namespace brimvale {

// True when the first line of `--version` output names GNU rsync 3.x or 4.x:
// it matches "rsync.*version [34]\." and does not mention openrsync (any case).
[[nodiscard]] bool isGnuRsyncVersionLine(std::string_view firstLine);

// True when `path` is an absolute path to an executable regular file (links
// followed) whose `--version` exits within 5 seconds with a first line that
// isGnuRsyncVersionLine(). A program that times out or dies by a signal does
// not qualify.
[[nodiscard]] bool qualifiesAsGnuRsync(const std::string& path, const ProcessRunner& run);

// The first qualifying program: `envRsync` (the RSYNC environment variable,
// skipped when empty), then `candidates` in order. Empty when none qualifies.
[[nodiscard]] std::string resolveGnuRsync(const std::string& envRsync,
                                          const std::vector<std::string>& candidates,
                                          const ProcessRunner& run);

}  // namespace brimvale
