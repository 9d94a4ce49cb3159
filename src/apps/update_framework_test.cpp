#include "apps/update_framework.h"

#include <gtest/gtest.h>

#include "apps/plist_test_data.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::stringEntry;
using testing::xmlPlist;
using Details = std::map<std::string, std::string>;

std::string sparkle(std::string_view version) {
  return xmlPlist(stringEntry("CFBundleShortVersionString", version));
}

constexpr const char* kSparkleInfo =
    "Apps/Tool.app/Contents/Frameworks/Sparkle.framework/Resources/Info.plist";
constexpr const char* kAppInfo = "Apps/Tool.app/Contents/Info.plist";

struct DetectCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // relative path → content
  std::string bundle;                                      // relative to the temporary root
  std::string bundleId;
  UpdateFramework expected;
  Details details;  // "{root}" stands for the temporary root
};

// Given a bundle laid out with the facts of each updater, detection names that updater and
// reports the details; the first matching rule wins where several facts are present.
TEST(UpdateFrameworkDetection, RecognisesEachUpdaterFromItsFacts) {
  using enum UpdateFramework;
  const std::string tool = "Apps/Tool.app";
  const DetectCase cases[] = {
      {"app store receipt",
       {{"Apps/Tool.app/Contents/_MASReceipt/receipt", "r"}, {kSparkleInfo, sparkle("2.1")}},
       tool,
       "com.adobe.Photoshop",
       kMas,
       {{"path", "{root}/Apps/Tool.app/Contents/_MASReceipt/receipt"}}},
      {"setapp folder",
       {},
       "Applications/Setapp/Tool.app",
       "com.example.tool",
       kSetapp,
       {{"path", "{root}/Applications/Setapp/Tool.app"}}},
      {"homebrew cask with dashes for spaces",
       {{"brew1/big-tool/3.0/x", ""}},
       "Apps/Big Tool.app",
       "com.example.big",
       kBrewCask,
       {{"cask", "big-tool"}, {"caskroom", "{root}/brew1"}, {"version", "3.0"}}},
      {"sparkle 2 package",
       {{kSparkleInfo, sparkle("2.5.2")},
        {kAppInfo, xmlPlist(stringEntry("SUInstallationType", "package"))}},
       tool,
       "com.example.tool",
       kSparkle2Package,
       {{"sparkle_version", "2.5.2"}, {"install_type", "package"}}},
  };
  for (const DetectCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder tmp;
    tmp.folder(c.bundle + "/Contents");
    for (const auto& [path, content] : c.files) tmp.file(path, content);
    UpdateFrameworkDetection detection(
        UpdateFrameworkFolders{.adobeDesktopCommon = tmp / "adobe-common",
                               .microsoftAutoUpdate = tmp / "mau",
                               .caskrooms = {tmp / "brew1", tmp / "brew2"},
                               .setappFolder = tmp / "Applications" / "Setapp"});
    UpdateFrameworkFinding found = detection.detect(tmp / c.bundle, c.bundleId);
    EXPECT_EQ(updateFrameworkRaw(found.framework), updateFrameworkRaw(c.expected));
    Details expected;
    for (auto [key, value] : c.details) {
      if (auto at = value.find("{root}"); at != std::string::npos)
        value.replace(at, 6, tmp.path().string());
      expected[key] = value;
    }
    EXPECT_EQ(found.details, expected);
  }
}

}  // namespace
}  // namespace brimvale::apps
