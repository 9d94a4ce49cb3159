// Disk usage as `du -sk` reports it, times 1024: allocated blocks, each hard-
// linked file counted once, unreadable entries skipped. One implementation
// for every size the service measures.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace brimvale {

// Allocated bytes of `path` and everything below it, rounded up to whole KiB
// like `du -sk` × 1024. Symbolic links are counted as links, never followed;
// other file systems below `path` are included. nullopt when `path` itself
// cannot be examined (missing, no permission).
[[nodiscard]] std::optional<std::uint64_t> diskUsageBytes(const std::filesystem::path& path);

}  // namespace brimvale
