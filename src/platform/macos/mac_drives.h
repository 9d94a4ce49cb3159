// The macOS drive tools: `diskutil info` and `df -m` for drive facts,
// `diskutil mount`/`eject` for the drive itself, and AppleScript to ask
// applications to quit before an eject.
#pragma once

#include <memory>
#include <string_view>

#include "platform/macos/mac_platform.h"
#include "platform/platform.h"

namespace brimvale::platform {

// The drive fields of `diskutil info {path}` (sizes are left at 0): each is
// the text after the colon on the first line containing its key —
// "File System Personality", "Protocol", "Removable Media", "Device
// Location", "Device Identifier", "Volume UUID". Absent keys stay empty.
[[nodiscard]] DriveInfo parseDiskutilDriveFields(std::string_view output);

[[nodiscard]] std::unique_ptr<DriveTools> makeMacDriveTools(MacToolPaths tools, ProcessRunner run);
// Loaded when the output of `launchctl list` contains the label.
[[nodiscard]] std::unique_ptr<ServiceAgents> makeMacServiceAgents(MacToolPaths tools,
                                                                  ProcessRunner run);

}  // namespace brimvale::platform
