// Pure readers of the Linux sources behind the platform facilities: the
// mount table, the idle-time sources, /etc/machine-info and /proc entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::platform {

// Undoes the octal escapes the kernel writes in mount paths (\040 for a
// blank, \011 tab, \012 newline, \134 backslash). Other text is unchanged.
[[nodiscard]] std::string decodeMountEscapes(std::string_view field);

// The mount points (fifth field, decoded) of /proc/self/mountinfo, in file
// order. Lines with fewer fields are skipped.
[[nodiscard]] std::vector<std::string> parseMountPoints(std::string_view mountinfo);

// `xprintidle` prints milliseconds since the last X input.
[[nodiscard]] std::optional<std::uint64_t> parseXprintidleSeconds(std::string_view output);

// From `loginctl show-session {id} -p IdleHint -p IdleSinceHint`: seconds
// since the session went idle, present only when logind calls it idle
// (IdleHint=yes) and the hint (microseconds since the epoch) is not in the future.
[[nodiscard]] std::optional<std::uint64_t> parseLogindIdleSeconds(std::string_view output,
                                                                  std::uint64_t nowMicros);

// Whole seconds since boot from /proc/uptime.
[[nodiscard]] std::optional<std::uint64_t> parseUptimeSeconds(std::string_view uptime);

// PRETTY_HOSTNAME from /etc/machine-info with its shell-style quoting and
// backslash escapes removed; empty when absent.
[[nodiscard]] std::string parsePrettyHostname(std::string_view machineInfo);

// A host name up to its first '.', as `hostname -s` prints it.
[[nodiscard]] std::string shortHostName(std::string_view hostName);

// The file name of argv[0] in a /proc/{pid}/cmdline (NUL-separated) record.
[[nodiscard]] std::string programNameFromCmdline(std::string_view cmdline);

}  // namespace brimvale::platform
