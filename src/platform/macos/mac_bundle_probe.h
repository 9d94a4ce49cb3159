// The macOS bundle probe: `mdls` for the last-used date and `codesign` for the
// signing authority, each with a deadline, and the pure readers of their output.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle_probe.h"

namespace brimvale::platform {

struct MacBundleToolPaths {
  std::string mdls = "/usr/bin/mdls";
  std::string codesign = "/usr/bin/codesign";
};

// The date of `mdls -name kMDItemLastUsedDate` output as seconds since the
// epoch: "yyyy-MM-dd HH:mm:ss" then a zone offset written "+hhmm" or
// "+hh:mm". nullopt for "(null)", a missing attribute or anything unreadable.
[[nodiscard]] std::optional<std::int64_t> parseMdlsLastUsed(std::string_view output);

// The value of the first line of `codesign -dv --verbose=2` output that
// begins with "Authority="; empty when there is none.
[[nodiscard]] std::string firstSigningAuthority(std::string_view output);

// True for the authorities the system's maker signs with: values starting with
// "Apple Mac OS", "Apple Software Update" or "Apple iPhone OS", or equal to
// "Software Signing". A Developer ID (or anything else) is not.
[[nodiscard]] bool isAppleAuthority(std::string_view authority);

// A tool that fails or overruns its deadline counts as "no record" / "not
// Apple-signed".
[[nodiscard]] std::unique_ptr<BundleProbe> makeMacBundleProbe(MacBundleToolPaths tools,
                                                              ProcessRunner run);

}  // namespace brimvale::platform
