#include "service/relocation/guards.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"
#include "testing/platform/fake_platform.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class GuardsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_.path();
    platform_ = platform::testing::makeFakePlatform(state_);
  }
  brimvale::testing::TempFolder tmp_{"brimvale-guards"};
  fs::path home_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
};

TEST_F(GuardsTest, CloudPathsByNameByFeatureByLinkAndByPlaceholder) {
  fs::create_directories(home_ / "Library/CloudStorage/Box-Ada/Work");
  fs::create_directory_symlink(home_ / "Library/CloudStorage/Box-Ada/Work", home_ / "Work link");
  state_.datalessPaths.insert((home_ / "Downloads/placeholder.key").string());
  const std::string h = home_.string();
  struct Case {
    std::string path;
    bool cloud;
  } before[] = {
      {"/Users/ada/Library/CloudStorage/OneDrive-Personal/a.txt", true},
      {"/Users/ada/Dropbox/Team/a.txt", true},
      {"/Users/ada/DropboxOld/a", false},
      {h + "/Work link/report.pdf", true},  // resolved through the link
      {h + "/Downloads/placeholder.key", true},
      {h + "/Documents/a.txt", false},  // the Desktop & Documents feature is off
  };
  Guards off(home_, *platform_.files);
  for (const auto& c : before) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(off.isCloudPath(c.path), c.cloud);
  }

  fs::create_directories(home_ / "Library/Mobile Documents/com~apple~CloudDocs/Desktop");
  EXPECT_FALSE(off.isCloudPath(h + "/Desktop/a.txt")) << "the feature is looked up once";
  Guards on(home_, *platform_.files);
  struct Case2 {
    std::string path;
    bool cloud;
  } after[] = {
      {h + "/Documents", true}, {h + "/Desktop/sub/a.txt", true}, {h + "/Downloads/a", false}};
  for (const auto& c : after) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(on.isCloudPath(c.path), c.cloud);
  }
}

}  // namespace
}  // namespace brimvale::service
