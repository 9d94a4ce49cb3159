#include "apps/app_classifier.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

namespace brimvale::apps {
namespace {

struct TierRow {
  RiskTier tier;
  std::string_view badge;
  std::string_view meaning;
};

// The meanings that name the system's own ways.
#if defined(__APPLE__)
constexpr std::string_view kCaveatMeaning =
    "Safe to move, but you should know about a small side effect — most commonly, macOS "
    "may ask you again for some permissions (Camera, Microphone, etc.) the first time you "
    "open the app after the move. That's normal; click Allow when it asks.";
constexpr std::string_view kBlockedMeaning =
    "We can't move this app safely. Common reasons: it's a built-in Apple app, it's "
    "currently running, or it's required by the system. You can quit it and refresh if "
    "it's just running.";
constexpr std::string_view kSafeReason =
    "Safe to relocate. No update-framework caveats, no TCC entitlements, no hardcoded paths, no "
    "helpers.";
#else
constexpr std::string_view kCaveatMeaning =
    "Safe to move, but you should know about a small side effect — most commonly, the app may "
    "ask you again for some permissions (Camera, Microphone, etc.) the first time you open it "
    "after the move. That's normal; allow them when it asks.";
constexpr std::string_view kBlockedMeaning =
    "We can't move this app safely. Common reasons: it came with the system, it's currently "
    "running, or the system needs it. You can quit it and refresh if it's just running.";
constexpr std::string_view kSafeReason =
    "Safe to relocate. No update-framework caveats, no privacy permissions, no hardcoded paths, "
    "no helpers.";
#endif

constexpr std::array kTiers{
    TierRow{RiskTier::kSafe, "Safe",
            "We don't see any issues with relocating this app. Move it freely — it should keep "
            "working exactly like before."},
    TierRow{RiskTier::kCaveat, "Caveat", kCaveatMeaning},
    TierRow{RiskTier::kOverride, "Override",
            "There's a known risk with moving this app. We won't do it automatically — you have "
            "to click \"Override → Move\" on the row and confirm. The pop-up explains the "
            "specific risk (e.g. \"Adobe Creative Cloud may reinstall this app to "
            "/Applications\")."},
    TierRow{RiskTier::kBlocked, "Blocked", kBlockedMeaning},
};

// Brimvale's own bundles, including the identifiers of its earlier releases.
constexpr std::array<std::string_view, 5> kOwnBundleIds{
    "com.brimvale.app", "com.brimvale.service", "com.hollin.tarnwick", "com.hollin.tarnwick.gui",
    "com.hollin.divu-dozar"};

// Days within which an app counts as still in use.
constexpr int kRecentUseDays = 6;

std::string plural(long n, std::string_view word) {
  std::string out = std::to_string(n) + " " + std::string(word);
  if (n != 1) out += "s";
  return out;
}

// The framework's description, or `fallback` should it have none.
std::string frameworkText(UpdateFramework framework, std::string_view fallback) {
  std::string_view text = updateFrameworkDescription(framework);
  return std::string(text.empty() ? fallback : text);
}

bool anyOfKind(const std::vector<BundleLoadCommand>& commands, LoadPathKind kind) {
  return std::ranges::any_of(commands, [kind](const auto& c) { return c.kind == kind; });
}

std::optional<std::string> blockedBeforeScanning(const ClassifierInput& input) {
  const CatalogueFacts& app = input.app;
  std::string id = app.bundleIdentifier.value_or("");
  if (std::ranges::find(kOwnBundleIds, id) != kOwnBundleIds.end())
    return "Brimvale cannot relocate itself. Use the Uninstall wizard to remove Brimvale cleanly.";
  if (app.bundlePath.string().starts_with("/System/Applications/"))
    return "System app — protected by macOS SIP and cannot be relocated.";
  if (app.alreadyRelocated) return "Already relocated to NVMe. Use the Moved tab to bring it back.";
  if (app.appleSigned) {
    return "Apple-signed app — macOS or Mac App Store may auto-update it at the original "
           "/Applications path.";
  }
  if (app.running)
    return "Currently running. Quit " + app.displayName + " and refresh, then try again.";
  return std::nullopt;
}

// A blocked result carries only its tier, reason, time and the app's identity.
AppClassificationResult blockedResult(const ClassifierInput& input, Clock::time_point at,
                                      std::string reason) {
  AppClassificationResult result;
  result.tier = RiskTier::kBlocked;
  result.reason = std::move(reason);
  result.classifiedAt = at;
  result.appPath = input.app.bundlePath;
  result.appName = input.app.displayName;
  return result;
}

std::optional<long> daysSinceLastUse(const CatalogueFacts& app, Clock::time_point now) {
  if (!app.lastUsed) return std::nullopt;
  auto hours = std::chrono::duration_cast<std::chrono::hours>(now - *app.lastUsed).count();
  return std::max<long>(0, hours / 24);
}

std::string permissionsText(const std::vector<TCCEntitlement>& entitlements) {
  std::set<std::string> names;
  for (const TCCEntitlement& e : entitlements) names.insert(e.displayName);
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return "After relocation, macOS may re-prompt for permissions: " + joined +
         ". Click Allow when prompted — this is normal.";
}

// The verdict drawn from the scans' findings, in the order the rules are checked.
std::pair<RiskTier, std::string> scannedVerdict(const AppClassificationResult& r,
                                                const ClassifierInput& input,
                                                const ClassifierEnvironment& env) {
  using enum UpdateFramework;
  UpdateFramework fw = r.updateFramework;
  if (fw == kSetapp)
    return {RiskTier::kBlocked, frameworkText(fw, "Hard-blocked by update framework rules.")};
  if (!env.userCanWrite(input.bundleURL)) {
    return {RiskTier::kOverride,
            "Installed by macOS (system-owned). Moving it needs administrator access, and if it’s "
            "a Mac App Store app, App Store updates may not follow it to your fast drive. You can "
            "override and move it anyway."};
  }
  if (fw == kSparkle2Package || fw == kAdobeCCM || fw == kMicrosoftMAU || fw == kMas ||
      fw == kCustomSparkle)
    return {RiskTier::kOverride, frameworkText(fw, "Update framework requires manual override.")};
  long hardcoded = std::ranges::count(r.dependencyReport, LoadPathKind::kHardcodedAppPath,
                                      &BundleLoadCommand::kind);
  if (hardcoded > 0) {
    return {RiskTier::kOverride, "This app has " + plural(hardcoded, "binary load reference") +
                                     " that hardcode the /Applications path. Even with a symlink, "
                                     "dyld may load the wrong dylib at runtime."};
  }
  auto privileged = std::ranges::find(r.helperReferences, HelperKind::kPrivilegedHelper,
                                      &HelperToolReference::kind);
  if (privileged != r.helperReferences.end()) {
    std::string label = privileged->label.empty() ? "(unknown)" : privileged->label;
    return {RiskTier::kOverride,
            "This app uses a privileged helper (`" + label +
                "`) installed under /Library/PrivilegedHelperTools. Moving the parent app may "
                "break the helper trust relationship on next reinstall."};
  }
  if (!r.helperReferences.empty()) {
    return {RiskTier::kOverride,
            "An installed launchd registration (`" + r.helperReferences.front().label +
                "`) references this app's exact location. Move may work but auto-start could "
                "fail at early boot if the NVMe isn't mounted yet."};
  }
  if (fw == kBrewCask)
    return {RiskTier::kCaveat, frameworkText(fw, "Homebrew Cask installed this app.")};
  if (!r.tccEntitlements.empty()) return {RiskTier::kCaveat, permissionsText(r.tccEntitlements)};
  if (fw == kSparkle1 || fw == kSparkle2App)
    return {RiskTier::kCaveat, frameworkText(fw, "Uses Sparkle for auto-updates.")};
  if (input.app.bundleIdentifier && input.dockPins.contains(*input.app.bundleIdentifier)) {
    return {RiskTier::kCaveat,
            "Pinned to your Dock — the icon may briefly show a placeholder after the move while "
            "LaunchServices reconciles."};
  }
  if (auto days = daysSinceLastUse(input.app, r.classifiedAt); days && *days <= kRecentUseDays) {
    return {RiskTier::kCaveat, "Used " + plural(*days, "day") +
                                   " ago — you might still need it. Relocation is safe but the "
                                   "symlink overhead is more noticeable for frequent launches."};
  }
  if (anyOfKind(r.dependencyReport, LoadPathKind::kUnsupportedAbsolute)) {
    return {RiskTier::kCaveat,
            "Some binaries reference absolute non-system paths. Relocation should work but "
            "Brimvale will monitor the app for runtime issues post-move."};
  }
  return {RiskTier::kSafe, std::string(kSafeReason)};
}

}  // namespace

std::string_view tierBadge(RiskTier tier) {
  return std::ranges::find(kTiers, tier, &TierRow::tier)->badge;
}

std::string_view tierMeaning(RiskTier tier) {
  return std::ranges::find(kTiers, tier, &TierRow::tier)->meaning;
}

ClassifierEnvironment systemClassifierEnvironment(const std::filesystem::path& home) {
  return {
      .updateFrameworks = UpdateFrameworkDetection(),
      .helpers = HelperToolScanner(standardHelperFolders(home)),
      .userCanWrite =
          [](const std::filesystem::path& bundle) { return ::access(bundle.c_str(), W_OK) == 0; },
      .now = [] { return Clock::now(); }};
}

AppClassificationResult classify(const ClassifierInput& input,
                                 const ClassifierEnvironment& environment) {
  Clock::time_point now = environment.now();
  if (auto reason = blockedBeforeScanning(input))
    return blockedResult(input, now, std::move(*reason));
  AppClassificationResult result;
  result.classifiedAt = now;
  result.appPath = input.app.bundlePath;
  result.appName = input.app.displayName;
  UpdateFrameworkFinding framework =
      environment.updateFrameworks.detect(input.bundleURL, input.app.bundleIdentifier.value_or(""));
  result.updateFramework = framework.framework;
  result.updateFrameworkDetails = std::move(framework.details);
  result.tccEntitlements = mergeEntitlements(scanInfoPlistUsage(input.bundleURL),
                                             signatureEntitlements(input.entitlementKeys));
  result.dependencyReport = input.loadCommands;
  result.helperReferences = environment.helpers.scan(input.bundleURL);
  auto [tier, reason] = scannedVerdict(result, input, environment);
  if (tier == RiskTier::kBlocked) return blockedResult(input, now, std::move(reason));
  result.tier = tier;
  result.reason = std::move(reason);
  return result;
}

}  // namespace brimvale::apps
