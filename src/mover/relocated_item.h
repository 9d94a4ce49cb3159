// One relocated folder as the relocated-items list shows it: the record of the
// finished relocation and how it stands on disk now (its integrity).
#pragma once
#include <array>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "common/base/raw_names.h"
#include "mover/manifest.h"

namespace brimvale::mover {

// Shown and printed by raw string (kIntegrityNames); never renumber.
enum class Integrity { kOk, kNoSymlink, kMissingOnDrive, kEmptyOnDrive, kUnexpectedLayout };
inline constexpr std::array<RawName<Integrity>, 5> kIntegrityNames{{
    {Integrity::kOk, "ok"},
    {Integrity::kNoSymlink, "noSymlink"},
    {Integrity::kMissingOnDrive, "missingOnDrive"},
    {Integrity::kEmptyOnDrive, "emptyOnDrive"},
    {Integrity::kUnexpectedLayout, "unexpectedLayout"},
}};
[[nodiscard]] std::string_view integrityRaw(Integrity integrity);
// The state in plain words, for text listings (JSON keeps the raw string).
[[nodiscard]] std::string_view integrityWords(Integrity integrity);
// The sentence shown beside an item; empty for kOk.
[[nodiscard]] std::string_view integrityHelp(Integrity integrity);
// Broken relocations are the only ones a delete may clear away.
[[nodiscard]] bool isBroken(Integrity integrity);

// The top-level folders of the working folder that hold relocated copies.
inline constexpr std::array<std::string_view, 4> kLayoutFolders{"Home", "System", "Other",
                                                                "Relocated"};

struct RelocatedItem {
  MoveManifest manifest;  // src: the original location; finalDst: the copy
  Integrity integrity = Integrity::kOk;
  // Built from the disk by the discovery walk: no record of it is saved.
  bool discovered = false;
};

// Whether `src` still leads into `copy`: it is a link whose target is the copy
// (or lies inside it), or a folder holding at least one link into it (a
// relocation that replaced each file with a link). Dangling links count.
[[nodiscard]] bool leadsInto(const std::filesystem::path& src, const std::filesystem::path& copy);

// Regular files below `src` that are not links into the drive: written on the
// internal disk after a relocation that left one link per file. Relative to
// `src`, sorted; empty when `src` is itself a link (new files went to the drive).
[[nodiscard]] std::vector<std::filesystem::path> filesWrittenSinceRelocation(
    const std::filesystem::path& src);

// Where the layout puts the copy of `src`: every relocation of this system
// goes to {working}/Relocated/{name}, a second one of the same name numbered
// ({name}.1, or {name}.{epoch} by the background service).
[[nodiscard]] bool isLayoutPlace(const std::filesystem::path& copy,
                                 const std::filesystem::path& src,
                                 const std::filesystem::path& workingFolder);

// The integrity of a finished relocation on disk now. A missing or empty copy
// outranks a missing link: then there is nothing on the drive to bring home.
[[nodiscard]] Integrity classify(const MoveManifest& relocation,
                                 const std::filesystem::path& workingFolder);

}  // namespace brimvale::mover
