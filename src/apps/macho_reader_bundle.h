// The two questions bundle inspection asks of an app's binaries: which load
// paths hard-code an absolute location, and which entitlements the main
// executable is signed with. Native reading first, a tool fallback second.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/bundle_load_command.h"
#include "common/base/error.h"

namespace brimvale::apps {

// Used only for a file the native reader cannot parse. Unset members mean
// "no fallback" (the Linux backend); a failing fallback means an empty answer.
struct MachOToolFallback {
  // Load paths of one binary, without a library's own install name.
  std::function<Result<std::vector<std::string>>(const std::filesystem::path& binary)> loadPaths;
  // The entitlements XML the bundle is signed with.
  std::function<Result<std::string>(const std::filesystem::path& bundle)> entitlementsXml;
};

// At most this many binaries are read per bundle, so huge bundles stay quick.
inline constexpr std::size_t kMaxScannedBinaries = 50;

// Regular files directly in Contents/MacOS (by name), then the items of
// Contents/Frameworks by name: a `.framework`'s main binary, a `.dylib` itself.
// Capped at kMaxScannedBinaries; an unreadable folder contributes nothing.
[[nodiscard]] std::vector<std::filesystem::path> bundleBinaries(
    const std::filesystem::path& bundle);

// Every load path of every scanned binary, in binary then load-command order.
// A universal binary lists each path once, in the order its slices first name
// it. The bundle path is compared as given (e.g. "/Applications/X.app").
[[nodiscard]] std::vector<BundleLoadCommand> scanBundleLoadPaths(
    const std::filesystem::path& bundle, const MachOToolFallback& fallback = {});

// The main executable: Contents/MacOS/ + CFBundleExecutable of Contents/Info.plist,
// else the bundle's name without ".app".
[[nodiscard]] std::filesystem::path mainExecutable(const std::filesystem::path& bundle);

// Top-level entitlement keys of the main executable (first slice that has
// any). Empty when it is unsigned, unreadable or the fallback fails too.
[[nodiscard]] std::vector<std::string> mainExecutableEntitlementKeys(
    const std::filesystem::path& bundle, const MachOToolFallback& fallback = {});

}  // namespace brimvale::apps
