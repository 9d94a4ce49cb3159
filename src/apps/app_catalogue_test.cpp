#include "apps/app_catalogue.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "apps/app_catalogue_test_bundles.h"
#include "platform/macos/mac_bundle_probe.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using testing::makeBundle;
using testing::PlistEncoding;

constexpr std::int64_t kCatalogueNow = 1'800'000'000;

// Recorded `codesign -dv --verbose=2` output (on standard error, as the tool
// writes it): a Developer ID first, Apple's certificates after it.
constexpr const char* kDeveloperIdThenApple =
    "Executable=/Applications/Tool.app/Contents/MacOS/Tool\n"
    "Identifier=com.example.tool\n"
    "Authority=Developer ID Application: Example Ltd (AB12CD34EF)\n"
    "Authority=Developer ID Certification Authority\n"
    "Authority=Apple Root CA\n";
constexpr const char* kSoftwareSigning =
    "Authority=Software Signing\nAuthority=Apple Code Signing Certification Authority\n";

// The macOS probe answering from recorded tool output per bundle file name,
// counting every tool it is asked to run.
struct RecordedTools {
  std::map<std::string, std::string> mdls;      // bundle file name -> stdout
  std::map<std::string, std::string> codesign;  // bundle file name -> stderr
  int runs = 0;

  std::unique_ptr<platform::BundleProbe> probe() {
    return platform::makeMacBundleProbe(
        {.mdls = "/t/mdls", .codesign = "/t/codesign"}, [this](const ProcessInvocation& run) {
          ++runs;
          const std::string& tool = run.path;
          const std::string bundle = fs::path(run.args.back()).filename().string();
          ProcessResult r;
          r.outcome = ProcessOutcome::kExited;
          r.exitCode = 0;
          if (tool == "/t/mdls") {
            auto it = mdls.find(bundle);
            r.out = it != mdls.end() ? it->second : "kMDItemLastUsedDate = (null)\n";
          } else {
            r.err = codesign[bundle];
          }
          return r;
        });
  }
};

struct Fixture {
  brimvale::testing::TempFolder tmp;
  fs::path system = tmp.folder("root/Applications");
  fs::path home = tmp.folder("home");
  RecordedTools tools;
  std::unique_ptr<platform::BundleProbe> probe = tools.probe();
  AppFactsCache cache = AppFactsCache::load(tmp / "state/app-facts.json");

  std::vector<AppEntry> list(std::int64_t now = kCatalogueNow) {
    AppDiscovery discovery(defaultAppFolders(home, tmp / "root"), *probe, cache,
                           [](std::string_view program) { return program == "Busy"; });
    return discovery.discover(now);
  }
};

const AppEntry* named(const std::vector<AppEntry>& entries, const std::string& name) {
  for (const auto& e : entries) {
    if (e.displayName == name) return &e;
  }
  return nullptr;
}

TEST(AppDiscovery, SigningAndLastUseComeFromTheRecordedTools) {
  Fixture f;
  makeBundle(f.system, "Tool");
  makeBundle(f.system, "Notes");
  makeBundle(f.system, "Fresh");
  f.tools.codesign = {{"Tool.app", kDeveloperIdThenApple}, {"Notes.app", kSoftwareSigning}};
  f.tools.mdls = {{"Tool.app", "kMDItemLastUsedDate = 2026-11-01 09:00:00 +0000\n"}};

  const auto entries = f.list();
  EXPECT_FALSE(named(entries, "Tool")->appleSigned);
  EXPECT_TRUE(named(entries, "Notes")->appleSigned);
  EXPECT_EQ(named(entries, "Tool")->lastUsed, 1793523600);
  // No record at all: the explanation is what the user sees.
  EXPECT_EQ(named(entries, "Fresh")->lastUsed, std::nullopt);
  EXPECT_NE(noLastUsedExplanation().find(" has no record of this app being opened by you. It "
                                         "might be brand new, or you've never launched it."),
            std::string::npos);
}

}  // namespace
}  // namespace brimvale::apps
