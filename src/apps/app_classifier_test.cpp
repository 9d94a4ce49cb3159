#include "apps/app_classifier.h"

#include <gtest/gtest.h>

#include <functional>

#include "apps/plist_test_data.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::stringEntry;
using testing::xmlPlist;
using namespace std::chrono_literals;

constexpr LoadPathKind kRelative = LoadPathKind::kRelativeOK;
constexpr LoadPathKind kSystem = LoadPathKind::kSystemAbsolute;
constexpr LoadPathKind kHardcoded = LoadPathKind::kHardcodedAppPath;
constexpr LoadPathKind kUnsupported = LoadPathKind::kUnsupportedAbsolute;

const Clock::time_point kNow = Clock::time_point{} + 20000 * 24h;

// A temporary computer: an app folder, launchd folders and vendor folders, with the bundle
// `Tool.app` and a classifier environment pointing at them.
struct Machine {
  TempFolder root;
  std::filesystem::path bundle =
      root.folder("Applications/Tool.app/Contents/MacOS").parent_path().parent_path();
  bool writable = true;

  ClassifierEnvironment environment() {
    return {.updateFrameworks =
                UpdateFrameworkDetection({.adobeDesktopCommon = root / "adobe",
                                          .microsoftAutoUpdate = root / "mau",
                                          .caskrooms = {root / "Caskroom"},
                                          .setappFolder = root / "Applications" / "Setapp"}),
            .helpers =
                HelperToolScanner({{root / "PrivilegedHelperTools", HelperKind::kPrivilegedHelper},
                                   {root / "LaunchAgents", HelperKind::kLaunchAgentUser}}),
            .userCanWrite = [this](const std::filesystem::path&) { return writable; },
            .now = [] { return kNow; }};
  }

  ClassifierInput input() {
    return {.app = {.bundlePath = bundle,
                    .bundleIdentifier = "com.example.tool",
                    .displayName = "Tool",
                    .lastUsed = kNow - 30 * 24h},
            .bundleURL = bundle};
  }

  void infoPlist(const std::string& entries) {
    root.file("Applications/Tool.app/Contents/Info.plist", xmlPlist(entries));
  }
  void sparkle(std::string_view version) {
    root.file("Applications/Tool.app/Contents/Frameworks/Sparkle.framework/Resources/Info.plist",
              xmlPlist(stringEntry("CFBundleShortVersionString", version)));
  }
  void launchJob(const std::string& folder, std::string_view label, std::string_view program) {
    root.file(folder + "/" + std::string(label) + ".plist",
              xmlPlist(stringEntry("Label", label) + stringEntry("Program", program)));
  }
};

struct OrderCase {
  const char* name;
  std::function<void(Machine&, ClassifierInput&)> given;
  RiskTier tier;
  std::string reason;
};

const std::string kSafeReason =
    "Safe to relocate. No update-framework caveats, no TCC entitlements, no hardcoded paths, no "
    "helpers.";
const std::string kSparkleText(updateFrameworkDescription(UpdateFramework::kSparkle1));

// Given inputs where several rules apply at once, the first rule in order decides the tier and
// reason.
TEST(Classify, FirstApplicableRuleDecides) {
  const OrderCase cases[] = {
      {"nothing found", [](Machine&, ClassifierInput&) {}, RiskTier::kSafe, kSafeReason},
      {"own app beats everything",
       [](Machine&, ClassifierInput& in) {
         in.app.bundleIdentifier = "com.brimvale.service";
         in.app.running = in.app.appleSigned = true;
       },
       RiskTier::kBlocked,
       "Brimvale cannot relocate itself. Use the Uninstall wizard to remove Brimvale cleanly."},
      {"system app",
       [](Machine&, ClassifierInput& in) {
         in.app.bundlePath = "/System/Applications/Calculator.app";
         in.app.alreadyRelocated = true;
       },
       RiskTier::kBlocked, "System app — protected by macOS SIP and cannot be relocated."},
      {"already relocated before apple-signed",
       [](Machine&, ClassifierInput& in) { in.app.alreadyRelocated = in.app.appleSigned = true; },
       RiskTier::kBlocked, "Already relocated to NVMe. Use the Moved tab to bring it back."},
      {"apple-signed before running",
       [](Machine&, ClassifierInput& in) { in.app.appleSigned = in.app.running = true; },
       RiskTier::kBlocked,
       "Apple-signed app — macOS or Mac App Store may auto-update it at the original "
       "/Applications path."},
      {"running blocks whatever else is found",
       [](Machine& m, ClassifierInput& in) {
         in.app.running = true;
         m.writable = false;
         in.app.bundleIdentifier = "com.macpaw.Gemini";
       },
       RiskTier::kBlocked, "Currently running. Quit Tool and refresh, then try again."},
      {"setapp before system-owned",
       [](Machine& m, ClassifierInput& in) {
         in.app.bundleIdentifier = "com.macpaw.Gemini";
         m.writable = false;
       },
       RiskTier::kBlocked, std::string(updateFrameworkDescription(UpdateFramework::kSetapp))},
      {"system-owned before adobe",
       [](Machine& m, ClassifierInput& in) {
         in.app.bundleIdentifier = "com.adobe.Photoshop";
         m.writable = false;
       },
       RiskTier::kOverride,
       "Installed by macOS (system-owned). Moving it needs administrator access, and if it’s a "
       "Mac App Store app, App Store updates may not follow it to your fast drive. You can "
       "override and move it anyway."},
      {"adobe before hardcoded paths",
       [](Machine& m, ClassifierInput& in) {
         in.app.bundleIdentifier = "com.adobe.Photoshop";
         in.loadCommands = {{"Contents/MacOS/Tool",
                             m.bundle.string() + "/Contents/Frameworks/a.dylib", kHardcoded}};
       },
       RiskTier::kOverride, std::string(updateFrameworkDescription(UpdateFramework::kAdobeCCM))},
      {"adobe reader is judged on its own findings",
       [](Machine&, ClassifierInput& in) { in.app.bundleIdentifier = "com.adobe.Reader"; },
       RiskTier::kSafe, kSafeReason},
      {"sparkle 2 package mode",
       [](Machine& m, ClassifierInput&) {
         m.sparkle("2.6.4");
         m.infoPlist(stringEntry("SUInstallationType", "package"));
       },
       RiskTier::kOverride,
       std::string(updateFrameworkDescription(UpdateFramework::kSparkle2Package))},
      {"one hardcoded load path before privileged helper",
       [](Machine& m, ClassifierInput& in) {
         in.loadCommands = {{"Contents/MacOS/Tool", "@rpath/Sparkle.framework/Sparkle", kRelative},
                            {"Contents/MacOS/Tool",
                             m.bundle.string() + "/Contents/Frameworks/a.dylib", kHardcoded}};
         m.launchJob("PrivilegedHelperTools", "com.tool.helper", m.bundle.string() + "/helper");
       },
       RiskTier::kOverride,
       "This app has 1 binary load reference that hardcode the /Applications path. Even with a "
       "symlink, dyld may load the wrong dylib at runtime."},
      {"privileged helper before other launchd jobs",
       [](Machine& m, ClassifierInput&) {
         m.launchJob("LaunchAgents", "com.tool.agent", m.bundle.string() + "/Contents/MacOS/agent");
         m.launchJob("PrivilegedHelperTools", "com.tool.helper", m.bundle.string() + "/helper");
       },
       RiskTier::kOverride,
       "This app uses a privileged helper (`com.tool.helper`) installed under "
       "/Library/PrivilegedHelperTools. Moving the parent app may break the helper trust "
       "relationship on next reinstall."},
      {"launch agent before homebrew",
       [](Machine& m, ClassifierInput&) {
         m.launchJob("LaunchAgents", "com.tool.agent", m.bundle.string() + "/Contents/MacOS/agent");
         m.root.folder("Caskroom/tool/1.0");
       },
       RiskTier::kOverride,
       "An installed launchd registration (`com.tool.agent`) references this app's exact "
       "location. Move may work but auto-start could fail at early boot if the NVMe isn't "
       "mounted yet."},
      {"homebrew before permissions",
       [](Machine& m, ClassifierInput& in) {
         m.root.folder("Caskroom/tool/1.0");
         in.entitlementKeys = {"com.apple.security.device.camera"};
       },
       RiskTier::kCaveat, std::string(updateFrameworkDescription(UpdateFramework::kBrewCask))},
      {"permissions are named once each, sorted, before sparkle",
       [](Machine& m, ClassifierInput& in) {
         m.sparkle("1.27");
         m.infoPlist(stringEntry("NSMicrophoneUsageDescription", "x") +
                     stringEntry("NSCameraUsageDescription", "y"));
         in.entitlementKeys = {"com.apple.security.device.audio-input",
                               "com.apple.security.device.microphone"};
       },
       RiskTier::kCaveat,
       "After relocation, macOS may re-prompt for permissions: Camera, Microphone. Click Allow "
       "when prompted — this is normal."},
      {"sparkle 2 application mode before dock pin",
       [](Machine& m, ClassifierInput& in) {
         m.sparkle("2.1");
         m.infoPlist(stringEntry("SUInstallationType", "application"));
         in.dockPins = {"com.example.tool"};
       },
       RiskTier::kCaveat, kSparkleText},
      {"dock pin before recent use",
       [](Machine&, ClassifierInput& in) {
         in.dockPins = {"com.other", "com.example.tool"};
         in.app.lastUsed = kNow - 1h;
       },
       RiskTier::kCaveat,
       "Pinned to your Dock — the icon may briefly show a placeholder after the move while "
       "LaunchServices reconciles."},
      {"used one day ago before unsupported paths",
       [](Machine&, ClassifierInput& in) {
         in.app.lastUsed = kNow - 36h;
         in.loadCommands = {{"Contents/MacOS/Tool", "/opt/lib/libfoo.dylib", kUnsupported}};
       },
       RiskTier::kCaveat,
       "Used 1 day ago — you might still need it. Relocation is safe but the symlink overhead "
       "is more noticeable for frequent launches."},
      {"used seven days ago is not recent",
       [](Machine&, ClassifierInput& in) { in.app.lastUsed = kNow - 7 * 24h; }, RiskTier::kSafe,
       kSafeReason},
      {"unknown last use is not recent",
       [](Machine&, ClassifierInput& in) { in.app.lastUsed.reset(); }, RiskTier::kSafe,
       kSafeReason},
      {"unsupported absolute load path",
       [](Machine&, ClassifierInput& in) {
         in.loadCommands = {{"Contents/MacOS/Tool", "/usr/lib/libSystem.B.dylib", kSystem},
                            {"Contents/MacOS/Tool", "/opt/lib/libfoo.dylib", kUnsupported}};
       },
       RiskTier::kCaveat,
       "Some binaries reference absolute non-system paths. Relocation should work but Brimvale "
       "will monitor the app for runtime issues post-move."},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine;
    ClassifierInput input = machine.input();
    c.given(machine, input);
    AppClassificationResult result = classify(input, machine.environment());
    EXPECT_EQ(static_cast<int>(result.tier), static_cast<int>(c.tier));
    EXPECT_EQ(result.reason, c.reason);
    EXPECT_EQ(result.classifiedAt, kNow);
    EXPECT_EQ(result.appName, "Tool");
  }
}

TEST(Classify, CaveatResultsCarryEveryFinding) {
  Machine machine;
  machine.sparkle("2.3");
  machine.infoPlist(stringEntry("NSCameraUsageDescription", "x"));
  ClassifierInput input = machine.input();
  input.entitlementKeys = {"com.apple.security.device.camera"};
  input.loadCommands = {
      {"Contents/MacOS/Tool", "@rpath/Sparkle.framework/Versions/B/Sparkle", kRelative},
      {"Contents/MacOS/Tool", "/usr/lib/libc++.1.dylib", kSystem}};
  AppClassificationResult result = classify(input, machine.environment());
  EXPECT_EQ(result.tier, RiskTier::kCaveat);
  EXPECT_EQ(result.updateFramework, UpdateFramework::kSparkle2App);
  EXPECT_EQ(result.updateFrameworkDetails.at("sparkle_version"), "2.3");
  EXPECT_EQ(result.tccEntitlements,
            (std::vector<TCCEntitlement>{
                {"NSCameraUsageDescription", "Camera", TccSource::kInfoPlistUsageDescription},
                {"com.apple.security.device.camera", "Camera", TccSource::kCodesignEntitlement}}));
  EXPECT_EQ(
      result.dependencyReport,
      (std::vector<BundleLoadCommand>{
          {"Contents/MacOS/Tool", "@rpath/Sparkle.framework/Versions/B/Sparkle",
           LoadPathKind::kRelativeOK},
          {"Contents/MacOS/Tool", "/usr/lib/libc++.1.dylib", LoadPathKind::kSystemAbsolute}}));
}

}  // namespace
}  // namespace brimvale::apps
