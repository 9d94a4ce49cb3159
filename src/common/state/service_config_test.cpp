#include "common/state/service_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "common/base/file_io.h"
#include "testing/base/temp_home.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

constexpr std::string_view kName = "BRIM-Ada";
// A Mac assumes its drive at /Volumes/NVMe; Linux assumes none until one is chosen.
#if defined(__APPLE__)
constexpr std::string_view kDefaultDrive = "/Volumes/NVMe";
#else
constexpr std::string_view kDefaultDrive = "";
#endif
const fs::path kDefaultBase = kDefaultDrive.empty() ? fs::path() : fs::path(kDefaultDrive) / kName;
const std::string kDrive = "NVMe=/Volumes/NVMe\n";

using brimvale::testing::StateFolder;
using brimvale::testing::TempHome;

TEST(ServiceConfig, BaseIsPinnedOnlyToAMarkedAbsoluteFolder) {
  TempHome home(StateFolder::kCreated);
  fs::path marked = home.path() / "marked folder";
  fs::path unmarked = home.path() / "unmarked";
  fs::create_directories(marked);
  fs::create_directories(unmarked);
  std::ofstream(marked / kMarkerFileName) << "version=1\n";
  // A relative BASE must not be resolved against wherever the service was started.
  fs::path startedIn = fs::current_path();
  fs::current_path(home.path());

  struct Case {
    std::string config;
    fs::path base;
  };
  const std::vector<Case> cases = {
      {"", kDefaultBase},
      {"NVMe=\nBASE=\"" + marked.string() + "\"", kDefaultDrive.empty() ? "" : marked},
      {"NVMe=/Volumes/Fast/", "/Volumes/Fast/BRIM-Ada"},
      {kDrive + "BASE=\"" + marked.string() + "\"", marked},
      {kDrive + "BASE=\"$HOME/marked folder\"", marked},
      {kDrive + "BASE=" + unmarked.string(), "/Volumes/NVMe/BRIM-Ada"},
      {kDrive + "BASE=\"marked folder\"", "/Volumes/NVMe/BRIM-Ada"},
      {kDrive + "BASE=" + (home.path() / "missing").string(), "/Volumes/NVMe/BRIM-Ada"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    home.writeConfig(c.config);
    Result<ServiceConfig> config = loadServiceConfig(home.paths(), kName);
    ASSERT_TRUE(config) << config.error().message();
    EXPECT_EQ(config->base(), c.base);
    EXPECT_EQ(config->get("BASE"), c.base.string());
  }
  fs::current_path(startedIn);

  // The mount table knows a drive only without the trailing slash.
  home.writeConfig("export NVMe=\"/Volumes/Fast//\"");
  Result<ServiceConfig> slashed = loadServiceConfig(home.paths(), kName);
  ASSERT_TRUE(slashed);
  EXPECT_EQ(slashed->nvme(), "/Volumes/Fast");
}

}  // namespace
}  // namespace brimvale
