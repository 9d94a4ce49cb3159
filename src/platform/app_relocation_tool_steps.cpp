#include "platform/app_relocation_tool_steps.h"

#include <charconv>

#include "common/base/text_formats.h"

namespace brimvale::platform {
namespace {

constexpr std::string_view kStatusMarker = "__BVX__:";

// Calls `each` with every line of `text`, a line ending at \n or \r.
template <class F>
void forEachLine(std::string_view text, F each) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find_first_of("\r\n", start);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    each(text.substr(start, stop - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

std::optional<int> statusOfLine(std::string_view line) {
  if (!line.starts_with(kStatusMarker)) return std::nullopt;
  line.remove_prefix(kStatusMarker.size());
  int status = 0;
  const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), status);
  if (ec != std::errc{} || end != line.data() + line.size()) return std::nullopt;
  return status;
}

}  // namespace

ToolStep toolStepFrom(const ProcessResult& result, const std::string& shortName,
                      std::chrono::seconds deadline) {
  ToolFailure failure{.shortName = shortName};
  switch (result.outcome) {
    case ProcessOutcome::kExited:
      if (result.exitCode == 0) return {};
      failure.kind = ToolFailure::Kind::kExited;
      failure.exitCode = result.exitCode;
      break;
    case ProcessOutcome::kSignalled:
      failure.kind = ToolFailure::Kind::kExited;
      failure.exitCode = 128 + result.signal;
      break;
    case ProcessOutcome::kTimedOut:
      failure.kind = ToolFailure::Kind::kTimedOut;
      failure.deadline = deadline;
      return std::unexpected(failure);
    case ProcessOutcome::kFailedToStart:
      failure.kind = ToolFailure::Kind::kFailedToStart;
      failure.detail = result.launchError;
      return std::unexpected(failure);
  }
  failure.detail = trimmed(result.err);
  if (failure.detail.empty()) failure.detail = trimmed(result.out);
  if (failure.detail.empty()) failure.detail = result.describe();
  return std::unexpected(failure);
}

std::string withStatusEcho(const std::string& commandLine) {
  return commandLine + "; echo \"" + std::string(kStatusMarker) + "$?\"";
}

std::optional<int> reportedStatus(std::string_view output) {
  std::optional<int> status;
  forEachLine(output, [&](std::string_view line) {
    if (auto s = statusOfLine(line)) status = s;
  });
  return status;
}

std::string withoutStatusLines(std::string_view output) {
  std::string kept;
  forEachLine(output, [&](std::string_view line) {
    if (statusOfLine(line)) return;
    kept += line;
    kept += '\n';
  });
  return trimmed(kept);
}

std::optional<PrivilegedResult> reportedPrivilegedResult(const ProcessResult& result) {
  const auto status = reportedStatus(result.out);
  if (!status) return std::nullopt;
  if (*status == 0) return PrivilegedResult{PrivilegedOutcome::kSuccess, {}};
  const std::string said = withoutStatusLines(result.err + "\n" + result.out);
  return PrivilegedResult{PrivilegedOutcome::kFailed,
                          privilegedFailureSentence("The administrator command failed (exit " +
                                                        std::to_string(*status) +
                                                        ") and may not have finished its work",
                                                    said)};
}

std::string privilegedFailureSentence(const std::string& sentence, const std::string& said) {
  if (said.empty()) return sentence + ".";
  std::string text = sentence + ": " + said;
  if (!text.ends_with('.')) text += '.';
  return text;
}

PrivilegedResult unreportedPrivilegedResult(const ProcessResult& result) {
  switch (result.outcome) {
    case ProcessOutcome::kFailedToStart:
      return {PrivilegedOutcome::kFailed, "Couldn't ask for administrator access (" +
                                              result.launchError + "), so nothing was changed."};
    case ProcessOutcome::kTimedOut:
      return {PrivilegedOutcome::kFailed,
              "The administrator step didn't finish within " +
                  std::to_string(kPrivilegedDeadline.count()) +
                  " minutes and was stopped; it may have done part of its work, so check the app "
                  "before trying again."};
    case ProcessOutcome::kExited:
    case ProcessOutcome::kSignalled: break;
  }
  const std::string said = withoutStatusLines(result.err + "\n" + result.out);
  return {PrivilegedOutcome::kFailed,
          privilegedFailureSentence(
              "The administrator step " + result.describe() +
                  " without saying how its command ended, so check the app before "
                  "trying again",
              said)};
}

ProcessInvocation adminSessionInvocation(const std::string& command,
                                         std::chrono::milliseconds deadline) {
  std::string escaped;
  for (char c : command) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return {.path = "/usr/bin/osascript",
          .args = {"-e", "do shell script \"" + escaped + "\" with administrator privileges"},
          .deadline = deadline};
}

}  // namespace brimvale::platform
