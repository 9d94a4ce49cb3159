#include "cloud/rclone_auth.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

const std::string kStandIn = std::string(BRIMVALE_STANDINS_DIR) + "/rclone_signin";

// Records what the sign-in asked to be written before rclone ran.
class RecordingConfig final : public RcloneConfigCommands {
 public:
  std::vector<std::vector<RemoteKey>> created;
  std::map<std::string, std::map<std::string, std::string>> existing;
  Result<void> createRemote(const std::string&, const std::string&,
                            const std::vector<RemoteKey>& keys) override {
    created.push_back(keys);
    return {};
  }
  Result<void> updateKey(const std::string&, const RemoteKey&) override { return {}; }
  Result<std::map<std::string, std::map<std::string, std::string>>> dump() override {
    return existing;
  }
  Result<std::string> reveal(const std::string& obscured) override { return obscured; }
};

struct SignInRig {
  brimvale::testing::TempFolder dir{"bv-signin"};
  RecordingConfig config;
  std::mutex mutex;
  std::vector<AuthState> states;
  std::vector<std::string> opened;
  std::function<void()> onOpen;

  explicit SignInRig(int exitStatus = 0) {
    setenv("STANDIN_ARGS", (dir / "args").c_str(), 1);
    setenv("STANDIN_GO", (dir / "go").c_str(), 1);
    setenv("STANDIN_URL", "http://127.0.0.1:53682/auth?state=abc", 1);
    setenv("STANDIN_EXIT", std::to_string(exitStatus).c_str(), 1);
    setenv("STANDIN_NOISE", "", 1);
    onOpen = [this] { std::ofstream(dir / "go") << "go"; };
  }
  std::unique_ptr<RcloneAuth> auth() {
    return std::make_unique<RcloneAuth>(
        kStandIn, runProcess, config,
        [this](const std::string& address) {
          {
            std::lock_guard lock(mutex);
            opened.push_back(address);
          }
          onOpen();
        },
        [this](const AuthState& state) {
          std::lock_guard lock(mutex);
          states.push_back(state);
        },
        std::chrono::milliseconds(0));
  }
  // The argument lists the stand-in was started with, in order.
  std::vector<std::vector<std::string>> invocations() {
    std::ifstream in(dir / "args");
    std::vector<std::vector<std::string>> lists(1);
    for (std::string line; std::getline(in, line);) {
      if (line == "--") {
        lists.emplace_back();
      } else {
        lists.back().push_back(line);
      }
    }
    lists.pop_back();
    return lists;
  }
};

// A client secret is written before rclone runs and never rides on its
// argument list; a sign-in that fails then removes the unusable remote.
TEST(RcloneAuth, ClientSecretStaysOffTheArgumentList) {
  SignInRig rig(/*exitStatus=*/1);
  auto auth = rig.auth();
  auth->signIn("work", "onedrive", "the-id", "very secret");
  auth->wait();
  ASSERT_EQ(rig.config.created.size(), 1u);
  ASSERT_EQ(rig.config.created[0].size(), 2u);
  EXPECT_TRUE(rig.config.created[0][1].secret);
  EXPECT_EQ(rig.config.created[0][1].value, "very secret");
  EXPECT_EQ(rig.invocations(), (std::vector<std::vector<std::string>>{
                                   {"config", "update", "work", "config_is_local=true"},
                                   {"config", "delete", "work"}}));
  EXPECT_EQ(auth->state().step, AuthStep::kFailed);
}

}  // namespace
}  // namespace brimvale::cloud
