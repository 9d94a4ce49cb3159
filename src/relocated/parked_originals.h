// Parked originals of relocated folders: what each one is, whether the copy
// on the drive still holds everything in it, and deleting one only after its
// copy has been compared byte for byte.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/file_operations.h"
#include "common/base/raw_names.h"

namespace brimvale::relocated {

// How a parked original stands against its copy; the raw strings are what
// `parked --json` prints, never renamed.
enum class ParkedState { kMatches, kDiffers, kNoCopy, kNotAFolder, kUnreadable };
inline constexpr std::array<RawName<ParkedState>, 5> kParkedStateNames{{
    {ParkedState::kMatches, "matches"},
    {ParkedState::kDiffers, "differs"},
    {ParkedState::kNoCopy, "no-copy"},
    {ParkedState::kNotAFolder, "not-a-folder"},
    {ParkedState::kUnreadable, "unreadable"},
}};
[[nodiscard]] std::string_view parkedStateRaw(ParkedState state);

// At most this many differing paths are kept for display.
inline constexpr std::size_t kShownDifferences = 5;

struct ParkedOriginal {
  std::filesystem::path parked;
  std::filesystem::path relocated;     // the path the link stands at; empty for a bare suffix
  std::filesystem::path copy;          // where that link leads; empty when there is no copy
  std::optional<std::uint64_t> bytes;  // apparent size of a parked folder
  ParkedState state = ParkedState::kNoCopy;
  std::size_t differingCount = 0;
  std::vector<std::string> differing;  // relative paths, the first kShownDifferences
  std::string detail;                  // why it could not be compared (kUnreadable)
};

// The quick look at one parked entry: names, types, sizes, link targets and
// (for files) dates compared, contents not read. Extras in the copy never
// count; a copy that is the parked folder itself, or inside it, is no copy.
[[nodiscard]] ParkedOriginal inspectParked(const std::filesystem::path& parked);

// inspectParked of every parked entry below `home` (findParkedOriginals).
[[nodiscard]] std::vector<ParkedOriginal> listParked(const std::filesystem::path& home);

// What `parked confirm` did; the raw strings are what `--json` prints.
enum class ConfirmResult {
  kDeleted,
  kNotParkedName,
  kOutsideHome,
  kNothingThere,
  kNotAFolder,
  kNoCopy,
  kDiffers,
  kUnreadable,
  kChanged,
  kBusy,
  kDeleteFailed,
};
inline constexpr std::array<RawName<ConfirmResult>, 11> kConfirmResultNames{{
    {ConfirmResult::kDeleted, "deleted"},
    {ConfirmResult::kNotParkedName, "not-parked-name"},
    {ConfirmResult::kOutsideHome, "outside-home"},
    {ConfirmResult::kNothingThere, "nothing-there"},
    {ConfirmResult::kNotAFolder, "not-a-folder"},
    {ConfirmResult::kNoCopy, "no-copy"},
    {ConfirmResult::kDiffers, "differs"},
    {ConfirmResult::kUnreadable, "unreadable"},
    {ConfirmResult::kChanged, "changed"},
    {ConfirmResult::kBusy, "busy"},
    {ConfirmResult::kDeleteFailed, "delete-failed"},
}};
[[nodiscard]] std::string_view confirmResultRaw(ConfirmResult result);

struct ConfirmOutcome {
  ConfirmResult result = ConfirmResult::kNothingThere;
  std::filesystem::path parked;  // as given, made absolute
  std::filesystem::path relocated;
  std::filesystem::path copy;
  std::size_t differingCount = 0;
  std::vector<std::string> differing;  // the first kShownDifferences
  std::string detail;  // the path policy's sentence, the system's reason, the lock's holder
  std::string advice;  // kNoCopy: what to do with the parked folder meanwhile
};

struct ConfirmRequest {
  std::filesystem::path home;
  std::filesystem::path stateDir;  // holds the relocator lock
  std::string path;                // as the person typed it; relative to the current folder
};

// Deletes a parked original once its copy holds every entry of it, equal in
// type, mode, link target, size and content (extras in the copy are
// allowed). Only a real folder with a parked name inside the home folder,
// reached through no link that leads elsewhere, whose relocated path is a
// link to a separate folder, is considered. Runs under the relocator lock,
// so it never races a move or another confirmation. Anything short of that
// deletes nothing. A deletion stopped half-way leaves the rest at the same
// name, which compares (and confirms) again as before.
[[nodiscard]] ConfirmOutcome confirmParked(const ConfirmRequest& request,
                                           FileOperations& files = FileOperations::real());

// One or two sentences for the outcome: what was done or why nothing was,
// that the data is safe, and what to do next.
[[nodiscard]] std::string confirmSentence(const ConfirmOutcome& outcome);

}  // namespace brimvale::relocated
