#include "service/core/notifications.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "platform/testing/fake_platform.h"
#include "testing/temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

TEST(Notifications, ShowsDirectlyOnlyWhileTheApplicationIsAway) {
  const brimvale::testing::TempHome home(brimvale::testing::StateFolder::kCreated, "brimvale-note");
  const StatePaths& paths = home.paths();
  platform::testing::FakeState state;
  platform::Platform platform = platform::testing::makeFakePlatform(state);

  note(paths, platform, {"away", "b"});
  state.runningProcesses.insert(std::string(platform::kApplicationProcessName));
  note(paths, platform, {"running", "b"});
  noteDismiss(paths, "storage.\"x\"");

  ASSERT_EQ(state.directNotifications.size(), 1u);
  EXPECT_EQ(std::get<0>(state.directNotifications[0]), "away");
  EXPECT_EQ(readFile(paths.notificationsQueue).value(),
            R"({"title":"away","body":"b","sound":"Tink","thread":"","severity":""})"
            "\n"
            R"({"title":"running","body":"b","sound":"Tink","thread":"","severity":""})"
            "\n"
            R"({"dismiss":"storage.\"x\""})"
            "\n");
}

}  // namespace
}  // namespace brimvale::service
