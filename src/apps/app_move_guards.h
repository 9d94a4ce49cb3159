// Where an app move may delete and where it parks the original: the drive
// folder of this computer, and the quarantine folders. Every delete the app
// mover makes asks these first, so a tampered or stale record can never aim
// a delete at someone's data.
#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale::apps {

// ~/.brimvale/quarantine/apps
[[nodiscard]] std::filesystem::path homeQuarantineRoot(const std::filesystem::path& home);
// The quarantine folder on a volume other than the home folder's.
inline constexpr std::string_view kVolumeQuarantineFolder = ".brimvale-quarantine/apps";

// The top folder of the volume holding `path`: walks up while the device
// stays the same. Nothing when `path` cannot be examined.
[[nodiscard]] std::optional<std::filesystem::path> volumeRootOf(const std::filesystem::path& path);

// Where the original of a bundle is parked: the home quarantine when it is on
// the bundle's file system (a move there is a rename), else
// <volume root>/.brimvale-quarantine/apps. Nothing when the bundle's folder
// cannot be examined.
[[nodiscard]] std::optional<std::filesystem::path> quarantineRootFor(
    const std::filesystem::path& bundle, const std::filesystem::path& home);

// "<bundle id or unknown>.<startedAt as YYYY-mm-ddTHH-MM-SSZ>"; a bundle id
// that could name another folder ('/', "..") reads as "unknown".
[[nodiscard]] std::string quarantineName(const std::optional<std::string>& bundleID,
                                         std::time_t startedAt);
// The prefix the names of one app's quarantines share.
[[nodiscard]] std::string quarantinePrefix(const std::optional<std::string>& bundleID);

// Deletes on the drive are allowed only strictly inside this computer's
// working folder: an absolute path without "..", whose folder, with links
// resolved, has a component BRIM-<host> above the item.
[[nodiscard]] bool isUnderManagedRoot(const std::filesystem::path& path,
                                      std::string_view computerName);

// The drive a path on it lies on: the folder holding this computer's working
// folder (BRIM-<host>) in `onDrive`, compared as written. Nothing when the
// path has no such component.
[[nodiscard]] std::optional<std::filesystem::path> driveOf(const std::filesystem::path& onDrive,
                                                           std::string_view computerName);

// A quarantine may be deleted only when it sits directly in the home
// quarantine or in a volume's .brimvale-quarantine/apps (links resolved, no "..").
[[nodiscard]] bool isUnderQuarantineRoot(const std::filesystem::path& path,
                                         const std::filesystem::path& home);

}  // namespace brimvale::apps
