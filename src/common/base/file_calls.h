// The std::filesystem calls the program uses, returning Result instead of
// filling an error_code, so a caller either handles a failure or visibly
// chooses to let it pass (see best_effort.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "common/base/error.h"

namespace brimvale {

// The error of a failed call: the case follows the system error (missing ->
// kNotFound, not allowed or read-only -> kPermissionDenied, else kIo) and the
// detail reads "{what} {path}: {system message}".
[[nodiscard]] Error fileCallError(std::string_view what, const std::filesystem::path& path,
                                  std::error_code ec);

// The status of `path` itself, a final link not followed. A missing path is
// not an error: its status type is file_type::not_found.
[[nodiscard]] Result<std::filesystem::file_status> linkStatus(const std::filesystem::path& path);

// The following three follow links and answer false, not an error, when
// nothing is there; they fail only when the answer cannot be known.
[[nodiscard]] Result<bool> pathExists(const std::filesystem::path& path);
[[nodiscard]] Result<bool> isDirectory(const std::filesystem::path& path);
[[nodiscard]] Result<bool> isRegularFile(const std::filesystem::path& path);
// True when anything, a link included (never followed), is at `path`; false
// when nothing is or the entry cannot be examined.
[[nodiscard]] bool entryPresent(const std::filesystem::path& path);

// Creates the folder and any missing parents; an existing folder is success.
[[nodiscard]] Result<void> createDirectories(const std::filesystem::path& path);
// Creates one folder; false when a folder was already there.
[[nodiscard]] Result<bool> createDirectory(const std::filesystem::path& path);

// rename(2): replaces a file or an empty folder at `to`; EXDEV across volumes.
[[nodiscard]] Result<void> renamePath(const std::filesystem::path& from,
                                      const std::filesystem::path& to);
// Removes a file, a link or an empty folder; false when nothing was there.
[[nodiscard]] Result<bool> removePath(const std::filesystem::path& path);
// Removes `path` and everything in it (links are removed, not followed);
// the count of entries removed, 0 when nothing was there.
[[nodiscard]] Result<std::uintmax_t> removeAll(const std::filesystem::path& path);

[[nodiscard]] Result<std::filesystem::path> readSymlink(const std::filesystem::path& path);
// The target stored in the link `name` inside the open folder `dirfd`
// (AT_FDCWD for a path); empty when it is no link or cannot be read.
[[nodiscard]] std::string linkTargetAt(int dirfd, const std::string& name);
// Never replaces anything at `link`.
[[nodiscard]] Result<void> createDirectorySymlink(const std::filesystem::path& target,
                                                  const std::filesystem::path& link);

[[nodiscard]] Result<std::uintmax_t> fileSize(const std::filesystem::path& path);
[[nodiscard]] Result<std::filesystem::file_time_type> lastWriteTime(
    const std::filesystem::path& path);
[[nodiscard]] Result<void> setPermissions(const std::filesystem::path& path,
                                          std::filesystem::perms perms);

// Resolves the links and dots of the part of `path` that exists.
[[nodiscard]] Result<std::filesystem::path> weaklyCanonical(const std::filesystem::path& path);
// Resolves every link and dot; fails when any part is missing.
[[nodiscard]] Result<std::filesystem::path> canonicalPath(const std::filesystem::path& path);
// `path` made absolute against the working folder.
[[nodiscard]] Result<std::filesystem::path> absolutePath(const std::filesystem::path& path);

}  // namespace brimvale
