// The freedesktop Trash's records: every item in its files/ folder has an
// info/{name}.trashinfo saying where it came from and when it was thrown away.
#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale::service {

struct TrashRecord {
  std::string originalPath;  // decoded from its percent-encoded form
  std::time_t deletedAt = 0;
};

// The record a .trashinfo text holds; nothing without the "[Trash Info]"
// group, a Path, or a DeletionDate of the form YYYY-MM-DDThh:mm:ss (local
// time). Keys of other groups are ignored.
[[nodiscard]] std::optional<TrashRecord> parseTrashInfo(std::string_view text);

// `text` with each %XX replaced by its byte; a % without two hex digits after
// it stays as it is.
[[nodiscard]] std::string percentDecoded(std::string_view text);

// "info/{item}.trashinfo", relative to the Trash folder.
[[nodiscard]] std::filesystem::path trashInfoOf(const std::string& item);

// The record of `item` in the Trash folder `trash`. Only a regular file is
// read: an info file that is a link (or missing, or unreadable) gives nothing.
[[nodiscard]] std::optional<TrashRecord> readTrashRecord(const std::filesystem::path& trash,
                                                         const std::string& item);

}  // namespace brimvale::service
