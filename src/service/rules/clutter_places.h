// The fixed places in a home where regenerable clutter and big space users
// live: the reclaim categories' folders and the storage scan's probes, one
// table per home layout (macOS or freedesktop).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace brimvale::service {

// Where a user's regenerable clutter lives: the macOS home (~/Library/Caches,
// ~/.Trash) or the freedesktop one (~/.cache, ~/.local/share/Trash with its
// .trashinfo records). The program looks where its own platform keeps things.
enum class HomeLayout { kMacOS, kFreedesktop };
#ifdef __APPLE__
inline constexpr HomeLayout kHostHomeLayout = HomeLayout::kMacOS;
#else
inline constexpr HomeLayout kHostHomeLayout = HomeLayout::kFreedesktop;
#endif

// How a category's candidates are found and how old they are.
enum class CandidateAge {
  // The direct children of each folder, aged by their modification time.
  kModified,
  // A freedesktop Trash: the items of its files/ folder, aged by the
  // DeletionDate of their info/ record (an item without one is left alone).
  kTrashRecord,
};

// A folder whose direct children may be deleted, and why that loses nothing.
struct ClutterFolder {
  std::string_view path;  // relative to the home folder
  std::string_view reason;
};

struct ReclaimPlaces {
  std::string_view name;  // devcaches, syslog or trash
  std::span<const ClutterFolder> folders;
  std::int64_t minAgeDays = 0;
  CandidateAge age = CandidateAge::kModified;
};

// The three categories in devcaches, syslog, trash order.
[[nodiscard]] std::span<const ReclaimPlaces> reclaimPlaces(HomeLayout layout);

// The category called `name`; nullptr for any other name.
[[nodiscard]] const ReclaimPlaces* findReclaimPlaces(HomeLayout layout, std::string_view name);

// One place `scan-storage` measures. A `*` component stands for every folder
// at that level, in name order; each is its own line, labelled
// "{label} ({folder name})".
struct StorageProbe {
  std::string_view path;  // relative to the home folder unless absolute
  std::string_view label;
  bool actionable;  // the user can move or clear it without losing anything
};

// The probes in the order they are printed.
[[nodiscard]] std::span<const StorageProbe> storageProbes(HomeLayout layout);

}  // namespace brimvale::service
