// Reading the copy tool's output for the transfer job: the live progress
// folded from its progress stream, and the verdict of the checksum pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale::service {

struct ProgressFold {
  std::string bytesDone;  // digits, commas removed
  std::string percent;    // digits
  std::string rate;       // as printed, e.g. "112.45MB/s"
  std::uint64_t etaSeconds = 0;
  std::string currentFile;
};

// Folds the tail of the progress log (lines separated by carriage returns
// or newlines). The stat line is the last line with digits followed by '%';
// without one there is nothing to fold. The current file is the last
// non-empty line that is neither a stat line nor one of rsync's summaries.
[[nodiscard]] std::optional<ProgressFold> foldProgress(std::string_view logTail);

// True when a `--checksum --dry-run --itemize-changes` pass lists nothing
// that would still be sent or deleted (no line starting with *deleting, <,
// > or c).
[[nodiscard]] bool checksumPassIsClean(std::string_view itemizeOutput);

}  // namespace brimvale::service
