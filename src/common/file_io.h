// Whole-file reads, atomic whole-file replacement and line appends: how every
// state file is written, so a reader never sees half a file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/error.h"

namespace brimvale {

struct AtomicWriteOptions {
  // Temporary sibling to write first; empty means "{path}.tmp.{pid}".
  std::filesystem::path tempPath;
  mode_t mode = 0600;
};

// Writes content to a temporary sibling, fsyncs it, renames it over `path`
// and fsyncs the folder. On failure the old file is untouched and the
// temporary file is removed.
[[nodiscard]] Result<void> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view content,
                                               const AtomicWriteOptions& options = {});

[[nodiscard]] Result<std::string> readFile(const std::filesystem::path& path);

// Appends bytes with one write(2) on an O_APPEND descriptor (file created 0600
// when missing), so concurrent short appends do not interleave.
[[nodiscard]] Result<void> appendToFile(const std::filesystem::path& path, std::string_view bytes);

// Renames `from` to `to` in one step, never replacing anything already at
// `to` (EEXIST then). Where the file system cannot rename without replacing,
// it checks first and renames, leaving a window only for another writer.
// Returns the system error, empty on success (EXDEV across volumes).
[[nodiscard]] std::error_code renameNoReplace(const std::filesystem::path& from,
                                              const std::filesystem::path& to);

// Creates an empty file (0600) when missing; leaves existing content alone.
[[nodiscard]] Result<void> touchFile(const std::filesystem::path& path);

// The last `count` lines of a file, oldest first, without the newline. Reads
// from the end, so it is cheap on long logs. A missing file gives no lines; a
// final line without a newline counts as a line.
[[nodiscard]] std::vector<std::string> readLastLines(const std::filesystem::path& path,
                                                     std::size_t count);

}  // namespace brimvale
