// Large applications that could move to the external drive: for now a plain
// scan of the applications folders by size; the app catalogue will take over
// behind the same MovableApps figures.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace brimvale::care {

// An application at least this large counts as a large movable application.
inline constexpr std::uint64_t kLargeAppBytes = 1'000'000'000;

struct MovableApps {
  std::int64_t count = 0;
  std::uint64_t totalBytes = 0;
};

// "/Applications" and "{home}/Applications".
[[nodiscard]] std::vector<std::filesystem::path> applicationFolders(
    const std::filesystem::path& home);

// The bundles ("*.app" folders directly inside `folders`) of at least
// `minBytes`. Links are skipped: an app already moved is a link to the drive.
// Missing or unreadable folders and bundles are skipped.
[[nodiscard]] MovableApps scanMovableApps(const std::vector<std::filesystem::path>& folders,
                                          std::uint64_t minBytes = kLargeAppBytes);

}  // namespace brimvale::care
