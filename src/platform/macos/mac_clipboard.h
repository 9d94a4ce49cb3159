// macOS: the general pasteboard through one JavaScript-for-Automation script
// run by osascript (AppKit's NSPasteboard: changeCount, types, strings, file
// URLs, images as PNG). The system announces no changes, so the watcher
// compares the change count on its 0.5 s tick.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"
#include "platform/clipboard.h"

namespace brimvale::platform {

// The pasteboard type of plain text on macOS.
inline constexpr std::string_view kMacStringType = "public.utf8-plain-text";
// Rich text: HTML, and RTFD under its pasteboard name or its document type.
inline constexpr std::string_view kMacHtmlType = "public.html";
inline constexpr std::string_view kMacRtfdType = "com.apple.flat-rtfd";
inline constexpr std::string_view kMacRtfdDocumentType = "public.rtfd";

struct MacPasteboardState {
  std::int64_t changeCount = 0;
  std::vector<std::string> types;
};

// The script's "state" answer: {"changeCount": N, "types": [...]}.
[[nodiscard]] std::optional<MacPasteboardState> parseMacPasteboardState(std::string_view output);
// Its "string" answer: a JSON string, or null when the type is absent.
[[nodiscard]] std::optional<std::string> parseMacPasteboardString(std::string_view output);
// Its "data" answer: the type's bytes as a Base64 JSON string, or null.
// Returns the Base64 text, checked to be Base64.
[[nodiscard]] std::optional<std::string> parseMacPasteboardData(std::string_view output);
// Its "files" answer: a JSON array of paths.
[[nodiscard]] std::vector<std::string> parseMacPasteboardFiles(std::string_view output);

// `osascript` is the tool's absolute path; `scratchFolder` holds the PNG
// files images pass through.
[[nodiscard]] std::unique_ptr<Clipboard> makeMacClipboard(std::string osascript,
                                                          std::string scratchFolder,
                                                          ProcessRunner run);

}  // namespace brimvale::platform
