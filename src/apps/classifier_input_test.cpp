#include "apps/classifier_input.h"

#include <gtest/gtest.h>

#include <fstream>

#include "apps/code_signature_blob.h"
#include "apps/macho_reader_test_files.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint32_t kX86_64 = 0x01000007;
constexpr std::int64_t kNow = 1'800'000'000;

std::string entitlementsXml(const std::vector<std::string>& keys) {
  std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
  for (const auto& key : keys) xml += "<key>" + key + "</key><true/>";
  return xml + "</dict></plist>";
}

// A catalogue entry's bundle, its binary made by hand, classified against
// temporary system folders: what the binary holds and what the entry says
// reach the classifier in the right shape.
TEST(BundleInspection, TheBinaryAndTheEntryDecideTheTier) {
  struct Case {
    const char* name;
    std::vector<std::string> loads;  // "{bundle}" stands for the bundle's path
    std::vector<std::string> entitlements;
    std::optional<std::int64_t> lastUsed;
    bool pinned;
    RiskTier tier;
    std::string reasonStart;
  };
  const std::int64_t month = kNow - 30 * 86'400;
  const std::vector<std::string> system{"/usr/lib/libSystem.B.dylib"};
  const Case cases[] = {
      {"nothing found", system, {}, month, false, RiskTier::kSafe, "Safe to relocate."},
      {"a load by the bundle's own path",
       {system[0], "{bundle}/Contents/Frameworks/a.dylib"},
       {},
       month,
       false,
       RiskTier::kOverride,
       "This app has 1 binary load reference that hardcode"},
      {"a signed entitlement",
       {},
       {"com.apple.security.device.camera", "com.apple.security.get-task-allow"},
       month,
       false,
       RiskTier::kCaveat,
       "After relocation, macOS may re-prompt for permissions: Camera."},
      {"opened a day and an hour ago",
       {},
       {},
       kNow - 86'400 - 3600,
       false,
       RiskTier::kCaveat,
       "Used 1 day ago"},
      {"pinned in the Dock", {}, {}, std::nullopt, true, RiskTier::kCaveat, "Pinned to your Dock"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder root;
    const fs::path bundle = root.folder("Applications/Tool.app");
    root.file("Applications/Tool.app/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
              "<string>Tool</string></dict></plist>");
    std::vector<testing::HandCommand> commands;
    for (std::string load : c.loads) {
      if (load.starts_with("{bundle}")) load.replace(0, 8, bundle.string());
      commands.push_back({testing::kHandLoadDylib, load});
    }
    std::vector<std::byte> signature;
    if (!c.entitlements.empty()) {
      signature = testing::superBlob(
          {{kEntitlementsSlot, kEntitlementsBlobMagic, entitlementsXml(c.entitlements)}});
    }
    const auto binary = testing::handMadeMachO(true, false, kX86_64, commands, signature);
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/MacOS/Tool", std::ios::binary)
        .write(reinterpret_cast<const char*>(binary.data()), static_cast<long>(binary.size()));

    const AppEntry entry{.id = bundle.string(),
                         .displayName = "Tool",
                         .bundlePath = bundle.string(),
                         .bundleIdentifier = "com.example.tool",
                         .lastUsed = c.lastUsed};
    InspectionSources sources;
    if (c.pinned) sources.dockPins = {"com.example.tool"};
    const ClassifierEnvironment environment{
        .updateFrameworks = UpdateFrameworkDetection({.adobeDesktopCommon = root / "adobe",
                                                      .microsoftAutoUpdate = root / "mau",
                                                      .caskrooms = {root / "Caskroom"},
                                                      .setappFolder = root / "Setapp"}),
        .helpers = HelperToolScanner({{root / "LaunchAgents", HelperKind::kLaunchAgentUser}}),
        .userCanWrite = [](const fs::path&) { return true; },
        .now = [] { return Clock::from_time_t(kNow); }};

    const ClassifierInput input = classifierInputFor(entry, sources);
    const AppClassificationResult result = classify(input, environment);
    EXPECT_EQ(result.tier, c.tier) << result.reason;
    EXPECT_TRUE(result.reason.starts_with(c.reasonStart)) << result.reason;
    EXPECT_EQ(input.loadCommands.size(), c.loads.size());
    EXPECT_EQ(result.appPath, bundle);
  }
}

}  // namespace
}  // namespace brimvale::apps
