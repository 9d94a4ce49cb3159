// Sorts an app into one of four risk tiers before it may be moved, with the one-line reason shown
// on its row, and gathers the findings (updater, permissions, load paths, helpers) that travel
// with a move so the health monitors can use them afterwards.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "apps/helper_reference_scan.h"
#include "apps/tcc_scan.h"
#include "apps/update_framework.h"

namespace brimvale::apps {

using Clock = std::chrono::system_clock;

// Stored as its number 1–4.
enum class RiskTier { kSafe = 1, kCaveat = 2, kOverride = 3, kBlocked = 4 };

// "Safe", "Caveat", "Override" or "Blocked".
[[nodiscard]] std::string_view tierBadge(RiskTier tier);
// What the tier means for the user, shown beside the badge.
[[nodiscard]] std::string_view tierMeaning(RiskTier tier);

// Persisted by its raw text.
enum class LoadPathKind { kRelativeOK, kSystemAbsolute, kHardcodedAppPath, kUnsupportedAbsolute };

[[nodiscard]] std::string_view loadPathKindRaw(LoadPathKind kind);
[[nodiscard]] std::optional<LoadPathKind> loadPathKindFromRaw(std::string_view raw);
// How `loadPath` depends on where `bundle` lies: relative (`@rpath` and friends), inside the
// bundle's current absolute path, in a system folder, or elsewhere.
[[nodiscard]] LoadPathKind classifyLoadPath(std::string_view loadPath,
                                            const std::filesystem::path& bundle);

// One dependency of one binary, as the Mach-O reader lists it.
struct BundleLoadPath {
  std::string binaryRelativePath;  // the binary, relative to the bundle
  std::string loadPath;
};

struct BundleLoadCommand {
  std::string binaryRelativePath;
  std::string loadPath;
  LoadPathKind kind = LoadPathKind::kRelativeOK;

  bool operator==(const BundleLoadCommand&) const = default;
};

// The catalogue's facts about the app that classification uses.
struct CatalogueFacts {
  std::filesystem::path bundlePath;
  std::optional<std::string> bundleIdentifier;
  std::string displayName;
  std::optional<Clock::time_point> lastUsed;
  bool alreadyRelocated = false;
  bool appleSigned = false;
  bool running = false;
};

struct ClassifierInput {
  CatalogueFacts app;
  std::filesystem::path bundleURL;
  std::set<std::string> dockPins;  // bundle identifiers pinned in the Dock
  // Read from the bundle's binaries by the Mach-O reader: the main executable's signature
  // entitlement keys and every binary's load paths. Empty when the reader could not read them.
  std::vector<std::string> entitlementKeys;
  std::vector<BundleLoadPath> loadPaths;
};

struct AppClassificationResult {
  RiskTier tier = RiskTier::kSafe;
  std::string reason;
  UpdateFramework updateFramework = UpdateFramework::kNone;
  std::map<std::string, std::string> updateFrameworkDetails;
  std::vector<TCCEntitlement> tccEntitlements;
  std::vector<BundleLoadCommand> dependencyReport;
  std::vector<HelperToolReference> helperReferences;
  Clock::time_point classifiedAt;
  std::filesystem::path appPath;
  std::string appName;
};

// What classification reads besides its input; each part is replaceable in tests.
struct ClassifierEnvironment {
  UpdateFrameworkDetection updateFrameworks;
  HelperToolScanner helpers;
  // Whether the user may write the bundle; a bundle owned by the system needs an administrator.
  std::function<bool(const std::filesystem::path&)> userCanWrite;
  std::function<Clock::time_point()> now;
};

// The real folders and checks of this computer, with user agents under `home`.
[[nodiscard]] ClassifierEnvironment systemClassifierEnvironment(const std::filesystem::path& home);

// The first rule that applies decides: the app itself, system apps, relocated, Apple-signed and
// running apps are blocked without scanning; otherwise every scan runs and its findings decide.
// A scan that cannot read what it needs contributes nothing; classification always completes.
// Safe to run off the UI thread when the environment's callables are.
[[nodiscard]] AppClassificationResult classify(const ClassifierInput& input,
                                               const ClassifierEnvironment& environment);

}  // namespace brimvale::apps
