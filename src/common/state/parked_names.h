// Parked originals: the folder move-dir leaves beside a relocated path as
// "{path}.hollin-old" (or with ".{digits}" after it) until the move is
// confirmed, and where such folders are looked for.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace brimvale {

inline constexpr std::string_view kParkedSuffix = ".hollin-old";

// "x.hollin-old" or "x.hollin-old.{digits}" (a second parking of the same name).
[[nodiscard]] bool isParkedName(std::string_view name);

// The path whose original was parked at `parked`: the name without its
// parked suffix; nothing when the name is not a parked one or nothing is
// left before the suffix.
[[nodiscard]] std::optional<std::filesystem::path> relocatedPathOf(
    const std::filesystem::path& parked);

// Every entry with a parked name at most six levels below `home`, in path
// order. Links are not followed and parked folders are not entered;
// unreadable folders are passed over.
[[nodiscard]] std::vector<std::filesystem::path> findParkedOriginals(
    const std::filesystem::path& home);

}  // namespace brimvale
