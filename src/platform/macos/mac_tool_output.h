// Pure readers of the macOS tools' text output (diskutil, df, mount, ioreg,
// pmset) and the AppleScript the direct notification runs. No tool is run
// here, so every rule is tested from recorded output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale::platform {

// Free bytes from `diskutil info {volume}`: the "important usage" count of the
// "Volume Available Space" section (`Important:` or `Important =`), else the
// section's own byte count. A byte count is a field that is all digits once
// commas and an opening parenthesis are removed, followed by a field starting
// with "Bytes". Empty when neither count is present.
[[nodiscard]] std::optional<std::uint64_t> parseDiskutilFreeBytes(std::string_view output);

struct DfKilobytes {
  std::uint64_t totalKiB = 0;
  std::uint64_t availableKiB = 0;
};

// The figures of `df -k {volume}` (second line: size and available KiB).
// Empty when the line is missing or the figures are not numbers.
[[nodiscard]] std::optional<DfKilobytes> parseDfKilobytes(std::string_view output);

// True when a line of `mount` output names exactly `path` as its mount point
// (" on {path} (" with the option list after it).
[[nodiscard]] bool mountOutputHasMountPoint(std::string_view output, std::string_view path);

// Seconds since the last input from `ioreg -c IOHIDSystem`: the last field of
// the first line mentioning HIDIdleTime, in nanoseconds; 0 when absent.
[[nodiscard]] std::uint64_t parseHidIdleSeconds(std::string_view output);

// From `pmset -g batt`: the machine draws from its battery.
[[nodiscard]] bool pmsetOnBattery(std::string_view output);
// From `pmset -g batt`: the charge of the internal battery; 100 when the
// machine has none, so a desktop never counts as low on battery.
[[nodiscard]] int parsePmsetBatteryPercent(std::string_view output);

// `text` as the inside of an AppleScript string literal (\ and " escaped).
[[nodiscard]] std::string appleScriptEscaped(std::string_view text);

// The one-line script `osascript -e` runs to show a notification directly.
[[nodiscard]] std::string notificationScript(std::string_view title, std::string_view body,
                                             std::string_view sound);

// Standard output of a one-value tool (scutil, hostname) without its trailing
// line ends, as a shell's command substitution would give it.
[[nodiscard]] std::string withoutTrailingNewlines(std::string_view output);

// The "Volume UUID:" value of `diskutil info`; empty when absent.
[[nodiscard]] std::string parseDiskutilVolumeUuid(std::string_view output);

// True when `stat -f %Sf` output lists the `dataless` flag among its
// comma-separated flag names.
[[nodiscard]] bool statFlagsIncludeDataless(std::string_view output);

}  // namespace brimvale::platform
