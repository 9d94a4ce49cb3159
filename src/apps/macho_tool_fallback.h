// Where the bundle scan turns when the native Mach-O reader cannot parse a
// file: macOS's own inspection tools, or nothing where there are none.
#pragma once

#include "apps/macho_reader_bundle.h"
#include "platform/macos/macho_tools.h"

namespace brimvale::apps {

// `otool` for a binary's load paths and `codesign` for the bundle's
// entitlements, run as `tools` says.
[[nodiscard]] MachOToolFallback codeInspectionFallback(platform::CodeInspectionTools tools);

// The fallback of the system this program was built for: the inspection
// tools on macOS; none on Linux, which has no tool that reads Mach-O.
[[nodiscard]] MachOToolFallback hostMachOToolFallback(ProcessRunner run);

}  // namespace brimvale::apps
