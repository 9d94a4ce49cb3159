#include "apps/app_classifier.h"

#include <gtest/gtest.h>

#include <functional>

#include "apps/plist_test_data.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::stringEntry;
using testing::xmlPlist;
using namespace std::chrono_literals;

constexpr LoadPathKind kRelative = LoadPathKind::kRelativeOK;
constexpr LoadPathKind kHardcoded = LoadPathKind::kHardcodedAppPath;

const Clock::time_point kClassifierNow = Clock::time_point{} + 20000 * 24h;

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
            .now = [] { return kClassifierNow; }};
  }

  ClassifierInput input() {
    return {.app = {.bundlePath = bundle,
                    .bundleIdentifier = "com.example.tool",
                    .displayName = "Tool",
                    .lastUsed = kClassifierNow - 30 * 24h},
            .bundleURL = bundle};
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

#if defined(__APPLE__)
const std::string kSafeReason =
    "Safe to relocate. No update-framework caveats, no TCC entitlements, no hardcoded paths, no "
    "helpers.";
#else
const std::string kSafeReason =
    "Safe to relocate. No update-framework caveats, no privacy permissions, no hardcoded paths, "
    "no helpers.";
#endif

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
      {"running blocks whatever else is found",
       [](Machine& m, ClassifierInput& in) {
         in.app.running = true;
         m.writable = false;
       },
       RiskTier::kBlocked, "Currently running. Quit Tool and refresh, then try again."},
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
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine;
    ClassifierInput input = machine.input();
    c.given(machine, input);
    AppClassificationResult result = classify(input, machine.environment());
    EXPECT_EQ(static_cast<int>(result.tier), static_cast<int>(c.tier));
    EXPECT_EQ(result.reason, c.reason);
    EXPECT_EQ(result.classifiedAt, kClassifierNow);
    EXPECT_EQ(result.appName, "Tool");
  }
}

}  // namespace
}  // namespace brimvale::apps
