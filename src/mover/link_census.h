// What a folder about to be moved holds: how many files, and how many of them
// are links into given folders already (left by an earlier relocation), so a
// folder that is on the drive in part is never copied onto its own copy.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brimvale::mover {

struct LinkCensus {
  // Everything below the root but folders (links included); a root that is
  // a file or a link counts as one.
  std::uint64_t files = 0;
  std::uint64_t regularFiles = 0;
  // Per folder asked about: the links whose target lies in it (or is it),
  // a relative target taken from the link's own folder, links not followed.
  std::vector<std::uint64_t> linksInto;
  // Per folder: one such link, relative to the root ("" for the root itself).
  std::vector<std::optional<std::string>> exampleInto;
  // A folder below the root could not be listed; the counts are then a floor.
  bool incomplete = false;
};

// Walks `root` without following links, on a few threads. Nothing when `root`
// itself cannot be examined.
[[nodiscard]] std::optional<LinkCensus> takeLinkCensus(
    const std::filesystem::path& root, const std::vector<std::filesystem::path>& folders);

}  // namespace brimvale::mover
