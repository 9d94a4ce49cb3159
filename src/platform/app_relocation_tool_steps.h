// What both app relocation backends share: how a finished tool run becomes a
// ToolStep, and how an administrator command reports its own exit status.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/process.h"
#include "platform/app_relocation_tools.h"

namespace brimvale::platform {

// How long the administrator prompt and the command after it may take
// together: the password may take a while to find.
inline constexpr std::chrono::minutes kPrivilegedDeadline{10};

// Success for exit 0. A timeout is kTimedOut with `deadline`; a program that
// could not start is kFailedToStart with the reason; any other end is kExited
// with its standard error (standard output when that is empty). A program
// killed by signal N counts as exit 128+N, as a shell would report it.
[[nodiscard]] ToolStep toolStepFrom(const ProcessResult& result, const std::string& shortName,
                                    std::chrono::seconds deadline);

// `commandLine` followed by `; echo "__BVX__:$?"`, so the output carries the
// command's exit status even when the prompt around it reports its own.
[[nodiscard]] std::string withStatusEcho(const std::string& commandLine);

// The status of the last "__BVX__:N" line in `output` (lines end in \n or \r:
// the macOS administrator session turns line feeds into returns); nothing
// when no such line is there.
[[nodiscard]] std::optional<int> reportedStatus(std::string_view output);

// `output` without its "__BVX__:N" lines, trimmed: what the command itself said.
[[nodiscard]] std::string withoutStatusLines(std::string_view output);

// The result of an administrator run whose output carries the status line:
// exit 0 is kSuccess, any other status kFailed with what the command said.
// Nothing when the line is missing.
[[nodiscard]] std::optional<PrivilegedResult> reportedPrivilegedResult(const ProcessResult& result);

// kFailed for an administrator run that ended without the status line and
// that the backend could not explain (a dismissed prompt, refused access):
// the sentence says whether anything may have changed.
[[nodiscard]] PrivilegedResult unreportedPrivilegedResult(const ProcessResult& result);

// `sentence` (no full stop) and, when there is any, what the program said
// after a colon, ending in a full stop.
[[nodiscard]] std::string privilegedFailureSentence(const std::string& sentence,
                                                    const std::string& said);

// osascript asking for the administrator password, then running `command` as
// root in /bin/sh. The command is quoted for AppleScript (\ and " escaped).
[[nodiscard]] ProcessInvocation adminSessionInvocation(const std::string& command,
                                                       std::chrono::milliseconds deadline);

}  // namespace brimvale::platform
