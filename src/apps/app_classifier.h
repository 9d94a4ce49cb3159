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

#include "apps/bundle_load_command.h"
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
  // Read from the bundle's binaries (see macho_reader_bundle.h): the main executable's
  // signature entitlement keys and every binary's load commands, each already judged against
  // `bundleURL`. Empty when they could not be read.
  std::vector<std::string> entitlementKeys;
  std::vector<BundleLoadCommand> loadCommands;
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
