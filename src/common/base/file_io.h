// Whole-file reads, atomic whole-file replacement and line appends: how every
// state file is written, so a reader never sees half a file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/base/error.h"

namespace brimvale {

// Whether a replaced file must survive a power cut once the write returns.
// Either way a reader never sees half a file.
enum class Durability {
  kFlushed,  // the content and the rename are flushed to the disk
  // Nothing is flushed: for files rewritten on every run from what they
  // describe, where a flush can wait tens of milliseconds on a busy disk and
  // a file lost in a crash is simply written again.
  kRebuilt,
};

struct AtomicWriteOptions {
  // Temporary sibling to write first; empty means temporarySibling(path).
  std::filesystem::path tempPath;
  mode_t mode = 0600;
  Durability durability = Durability::kFlushed;
};

// The temporary sibling every whole-file write goes through:
// "{path}.tmp.{pid}". A process killed mid-write leaves it behind;
// staleTemporaryPid() recognises it so the next start can remove it.
[[nodiscard]] std::filesystem::path temporarySibling(const std::filesystem::path& path, pid_t pid);
[[nodiscard]] std::filesystem::path temporarySibling(const std::filesystem::path& path);

// The pid in a temporary sibling's file name ("status.json.tmp.4242" gives
// 4242); nothing for any other name, including ".tmp.{pid}" with no name
// before it or anything after the digits.
[[nodiscard]] std::optional<pid_t> temporarySiblingPid(std::string_view fileName);

// Writes content to a temporary sibling, fsyncs it, renames it over `path`
// and fsyncs the folder (no fsync for Durability::kRebuilt). On failure the old file is untouched
// and the temporary file is removed. Test builds stop at "atomic-write:temp-written" (the temporary
// file complete, not yet renamed).
[[nodiscard]] Result<void> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view content,
                                               const AtomicWriteOptions& options = {});

// Writes a new file that never replaces an existing one: at `path` when that
// name is free, else at the first free "{path}.1", "{path}.2", ... The content
// is written to a temporary sibling first and then linked to the name, so a
// name is taken only by a complete file and two writers in the same second
// never overwrite each other. Returns the name used.
[[nodiscard]] Result<std::filesystem::path> writeNewFile(const std::filesystem::path& path,
                                                         std::string_view content,
                                                         mode_t mode = 0600);

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

// What a claim creates: a folder (0700) or an empty file (0600).
enum class ClaimKind { kFolder, kFile };
// Creates `path` only when nothing is there (a link, even a dangling one,
// counts as something), so two processes claiming one name never share it.
// Returns the system error (EEXIST when the name is taken), empty on success.
[[nodiscard]] std::error_code createExclusively(const std::filesystem::path& path, ClaimKind kind);

// Creates an empty file (0600) when missing; leaves existing content alone.
[[nodiscard]] Result<void> touchFile(const std::filesystem::path& path);

// The last `count` lines of a file, oldest first, without the newline. Reads
// from the end, so it is cheap on long logs. A missing file gives no lines; a
// final line without a newline counts as a line.
[[nodiscard]] std::vector<std::string> readLastLines(const std::filesystem::path& path,
                                                     std::size_t count);

}  // namespace brimvale
