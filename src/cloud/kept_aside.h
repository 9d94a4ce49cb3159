// An encrypted file that cannot be read is never overwritten: it is renamed
// beside itself so a fresh one can take its place and the old bytes survive.
#pragma once

#include <ctime>
#include <expected>
#include <filesystem>
#include <system_error>

#include "common/base/file_operations.h"

namespace brimvale::cloud {

// Renames `file` to "{file}.unreadable-{YYYYmmddHHMMSS}" (local time `now`),
// adding "-2", "-3", ... when that name is taken, never replacing anything.
// Returns the new name, or the system error with `file` left where it was.
[[nodiscard]] std::expected<std::filesystem::path, std::error_code> keepAside(
    FileOperations& ops, const std::filesystem::path& file, std::time_t now);

}  // namespace brimvale::cloud
