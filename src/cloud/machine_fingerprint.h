// The text that ties an encrypted file to this computer: its hardware or
// installation identity and the date its operating system was set up. The
// composition never changes between releases: a change would make every
// existing vault undecryptable.
#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"

namespace brimvale::cloud {

struct MachineFingerprint {
  std::string text;
  // False when the identity was unavailable and a placeholder stands in for
  // it: such a fingerprint is the same on every computer.
  bool identityKnown = false;
};

// "machine:{identity}|setup:{seconds since the epoch}", with "unknown-machine"
// and "unknown-setup" standing in for what is missing.
[[nodiscard]] MachineFingerprint composeFingerprint(std::optional<std::string> identity,
                                                    std::optional<std::time_t> setupTime);

// Linux: the identity is the first line of `machineIdFile` (normally
// /etc/machine-id), which the installer writes once; the set-up date is that
// file's modification time, which stays the same across reboots and updates
// because the file is only written when the system is installed.
[[nodiscard]] MachineFingerprint linuxFingerprint(const std::filesystem::path& machineIdFile);

// The IOPlatformUUID value in `ioreg -rd1 -c IOPlatformExpertDevice` output.
[[nodiscard]] std::optional<std::string> parseIoregPlatformUuid(std::string_view output);

// macOS: the hardware UUID from `ioregTool` and the modification time of
// `setupDoneFile` (normally /var/db/.AppleSetupDone).
[[nodiscard]] MachineFingerprint macFingerprint(const ProcessRunner& run,
                                                const std::string& ioregTool,
                                                const std::filesystem::path& setupDoneFile);

// The fingerprint of the computer this program runs on, from the system's own
// files (and, on macOS, `ioreg` run through `run`).
[[nodiscard]] MachineFingerprint hostFingerprint(const ProcessRunner& run);

}  // namespace brimvale::cloud
