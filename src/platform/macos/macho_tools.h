// The macOS tools that read a binary's load commands and signature (`otool`,
// `codesign`): how each is run and how its output is read. Used only for files
// the native Mach-O reader cannot parse.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/process.h"

namespace brimvale::platform {

struct CodeInspectionTools {
  std::string otool = "/usr/bin/otool";
  std::string codesign = "/usr/bin/codesign";
  // Per run; on overrun the tool is terminated, then killed.
  std::chrono::milliseconds deadline{15000};
  ProcessRunner run;
};

// The dependency paths of `otool -L` output, in order. Header lines (the file
// name, or "file (architecture x86_64):" per slice) are skipped; in each
// section a first line equal to `installName` is the library's own name and is
// left out. A path named by several slices is listed once.
[[nodiscard]] std::vector<std::string> parseOtoolLoadPaths(std::string_view output,
                                                           std::string_view installName);

// The install name from `otool -D` output (the first line after the header);
// empty for a program, which has none.
[[nodiscard]] std::string parseOtoolInstallName(std::string_view output);

// The property list in `codesign -d --entitlements - --xml` output, from its
// opening to "</plist>"; empty when the output holds none.
[[nodiscard]] std::string parseCodesignEntitlementsXml(std::string_view output);

// Runs `otool -D` and `otool -L` on `binary`; kToolFailed / kTimedOut when a
// run fails or overruns.
[[nodiscard]] Result<std::vector<std::string>> otoolLoadPaths(const CodeInspectionTools& tools,
                                                              const std::filesystem::path& binary);

// Runs `codesign -d --entitlements - --xml` on `bundle`; an unsigned bundle or
// one without entitlements gives an empty text.
[[nodiscard]] Result<std::string> codesignEntitlementsXml(const CodeInspectionTools& tools,
                                                          const std::filesystem::path& bundle);

}  // namespace brimvale::platform
