// The macOS backend of the app relocation tools: the system's own tools by
// absolute path (each replaceable, so tests can record the calls), the
// quarantine and relocation marks as extended attributes, and the
// administrator session of osascript for privileged commands.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/app_relocation_tool_steps.h"
#include "platform/app_relocation_tools.h"

namespace brimvale::platform {

struct MacAppToolPaths {
  std::string ditto = "/usr/bin/ditto";
  std::string lsregister =
      "/System/Library/Frameworks/CoreServices.framework/Versions/A/Frameworks/"
      "LaunchServices.framework/Versions/A/Support/lsregister";
  std::string mdimport = "/usr/bin/mdimport";
  std::string mdls = "/usr/bin/mdls";
  std::string killall = "/usr/bin/killall";
};

// How long each tool may run before it is stopped.
inline constexpr std::chrono::seconds kLsregisterDeadline{15};
inline constexpr std::chrono::seconds kMdimportDeadline{30};
inline constexpr std::chrono::seconds kDockRefreshDeadline{5};
inline constexpr std::chrono::seconds kMdlsDeadline{5};

inline constexpr std::string_view kMacDownloadQuarantineAttribute = "com.apple.quarantine";

// Whether osascript's error output says the user dismissed the password
// prompt (AppleScript error -128, "User canceled.").
[[nodiscard]] bool adminPromptCancelled(std::string_view osascriptErrors);

// copyBundle runs `ditto --rsrc --noqtn` (which reports no progress) after
// refusing an existing destination, since ditto would merge into it.
[[nodiscard]] std::unique_ptr<AppRelocationTools> makeMacAppRelocationTools(MacAppToolPaths paths,
                                                                            ProcessRunner run);

}  // namespace brimvale::platform
