// The Linux backend of the app relocation tools.
//
// copyBundle is copyBundleTree (bundle_tree_copy.h): its failures are
// kExited with exit code 1 and a sentence naming the path and the system's
// reason. registerApp refreshes the desktop database of the user's
// applications folder when `update-desktop-database` is installed; reindex
// and refreshDock have nothing to ask and only log. Linux sets no download
// quarantine, so hasDownloadQuarantine is false, but clearing removes the
// mark a bundle copied from a Mac may still carry. runPrivileged runs the
// command line under `pkexec /bin/sh -c`: a dismissed prompt (pkexec exit
// 126) is kCancelled, refused access (127) and a missing pkexec kFailed.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/app_relocation_tool_steps.h"
#include "platform/app_relocation_tools.h"

namespace brimvale::platform {

struct LinuxAppToolPaths {
  std::string updateDesktopDatabase;         // empty: not installed
  std::string pkexec;                        // empty: not installed
  std::filesystem::path applicationsFolder;  // ~/.local/share/applications
};

// The installed tools and the applications folder of `home`.
[[nodiscard]] LinuxAppToolPaths installedLinuxAppTools(const std::filesystem::path& home);

// How long a refresh of the desktop database may take.
inline constexpr std::chrono::seconds kDesktopDatabaseDeadline{15};

[[nodiscard]] std::unique_ptr<AppRelocationTools> makeLinuxAppRelocationTools(
    LinuxAppToolPaths paths, ToolLog log, ProcessRunner run);

}  // namespace brimvale::platform
