// Listing a folder's entries with their own (not followed) metadata. Names
// may hold any byte, newlines included: nothing here goes through text that
// could split them.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brimvale::service {

struct DirEntry {
  std::filesystem::path path;
  struct stat info {};  // lstat of the entry: a link is a link

  [[nodiscard]] bool isRegular() const { return S_ISREG(info.st_mode); }
  [[nodiscard]] bool isDirectory() const { return S_ISDIR(info.st_mode); }
  // Modified more than `days` × 24 hours before `now`.
  [[nodiscard]] bool olderThan(std::int64_t days, std::time_t now) const {
    return now - info.st_mtime > days * 86400;
  }
};

// The read test before any walk: the folder opens and its first entry can
// be read. False when privacy protection or permissions deny the listing.
[[nodiscard]] bool canListFolder(const std::filesystem::path& folder);

// Calls `visit` with each direct entry of `folder` (without . and ..) in the
// order the system returns them, without holding the listing in memory;
// false when the folder cannot be opened. An entry that vanishes between
// listing and lstat is left out. `visit` must not change the folder.
bool forEachEntry(const std::filesystem::path& folder,
                  const std::function<void(const DirEntry&)>& visit);

// forEachEntry collected into a list; nullopt when the folder cannot be opened.
[[nodiscard]] std::optional<std::vector<DirEntry>> listEntries(const std::filesystem::path& folder);

// Regular files at depth 1 or 2 below `folder` (entries of its direct
// sub-folders; linked folders are not entered).
[[nodiscard]] std::vector<DirEntry> filesToDepthTwo(const std::filesystem::path& folder);

}  // namespace brimvale::service
