#include "cloud/rclone_auth.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cloud/cloud_testing.h"
#include "cloud/rclone_client.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

const std::string kStandIn = std::string(BRIMVALE_STANDINS_DIR) + "/rclone_signin";

TEST(SignInAddress, AccountChooserIsAddedOnce) {
  struct Case {
    std::string address;
    std::string opened;
  } cases[] = {
      {"https://accounts.google.com/o/oauth2/auth?client_id=x&state=y",
       "https://accounts.google.com/o/oauth2/auth?client_id=x&state=y&prompt=select_account"},
      {"http://localhost:53682/auth?state=s#top",
       "http://localhost:53682/auth?state=s&prompt=select_account#top"},
      {"https://h/oauth2?prompt=consent&a=b", "https://h/oauth2?prompt=consent&a=b"},
      {"https://h/oauth2?noprompt=1", "https://h/oauth2?noprompt=1&prompt=select_account"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(withAccountChooser(c.address), c.opened);
  }
}

TEST(SignInAddress, FirstAddressThatLeadsToSignIn) {
  struct Case {
    std::string output;
    std::optional<std::string> address;
  } cases[] = {
      {"see https://rclone.org/drive/ then go to http://127.0.0.1:53682/auth?state=q\n",
       "http://127.0.0.1:53682/auth?state=q&prompt=select_account"},
      {"Make sure your Redirect URL is set to \"http://127.0.0.1:53682/\" in your custom "
       "config.\ngo to the following link: http://127.0.0.1:53682/auth?state=q",
       "http://127.0.0.1:53682/auth?state=q&prompt=select_account"},
      {"open (https://accounts.google.com/signin?x=1).",
       "https://accounts.google.com/signin?x=1&prompt=select_account"},
      {"only https://example.com/help here", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(signInAddressIn(c.output), c.address);
  }
}

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

  explicit SignInRig(int exitStatus = 0, int noise = 0) {
    setenv("STANDIN_ARGS", (dir / "args").c_str(), 1);
    setenv("STANDIN_GO", (dir / "go").c_str(), 1);
    setenv("STANDIN_URL", "http://127.0.0.1:53682/auth?state=abc", 1);
    setenv("STANDIN_EXIT", std::to_string(exitStatus).c_str(), 1);
    setenv("STANDIN_NOISE", noise ? std::to_string(noise).c_str() : "", 1);
    onOpen = [this] { std::ofstream(dir / "go") << "go"; };
  }
  std::unique_ptr<RcloneAuth> auth(std::optional<std::string> rclone = kStandIn) {
    return std::make_unique<RcloneAuth>(
        rclone, config,
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
  std::vector<AuthStep> steps() {
    std::vector<AuthStep> out;
    for (const auto& s : states) out.push_back(s.step);
    return out;
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

TEST(RcloneAuth, SignsInThroughTheBrowserOnce) {
  SignInRig rig;
  auto auth = rig.auth();
  auth->signIn("personal", "drive", " my-id \n");
  auth->wait();
  using S = AuthStep;
  EXPECT_EQ(rig.steps(), (std::vector<S>{S::kStarting, S::kLaunching, S::kBrowserOpen,
                                         S::kBrowserOpen, S::kSaving, S::kDone}));
  EXPECT_EQ(
      rig.opened,
      (std::vector<std::string>{"http://127.0.0.1:53682/auth?state=abc&prompt=select_account"}));
  EXPECT_EQ(rig.states[3].message, "Your browser is open with Google's account picker.");
  EXPECT_EQ(auth->state().remote, "personal");
  EXPECT_TRUE(auth->state().message.starts_with(
      "personal is now available as a transfer source or destination."));
  EXPECT_EQ(rig.invocations(),
            (std::vector<std::vector<std::string>>{{"config", "create", "personal", "drive",
                                                    "config_is_local=true", "client_id=my-id"}}));
}

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

TEST(RcloneAuth, CancelEndsRcloneWithoutFailure) {
  SignInRig rig;
  auto auth = rig.auth();
  rig.onOpen = [&] { auth->cancel(); };  // the stand-in then never gets its go-ahead
  auth->signIn("personal", "drive");
  auth->wait();
  EXPECT_EQ(auth->state().step, AuthStep::kIdle);
  for (const auto& state : rig.states) EXPECT_NE(state.step, AuthStep::kFailed);
}

TEST(RcloneAuth, EarlyFailures) {
  struct Case {
    std::string what;
    std::optional<std::string> rclone;
    std::string name;
    std::string message;
  } cases[] = {
      {"not installed", std::nullopt, "personal",
       "rclone is not installed.\n\nInstall with:\n  brew install rclone"},
      {"cannot start", "/nonexistent/rclone", "personal", "Could not launch rclone: "},
      {"name read as an option", kStandIn, "--all", "\"--all\" is not a name"},
      {"name already in use", kStandIn, "taken", "A remote named taken already exists."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SignInRig rig;
    rig.config.existing["taken"] = {{"type", "drive"}};
    auto auth = rig.auth(c.rclone);
    auth->signIn(c.name, "drive");
    auth->wait();
    EXPECT_EQ(auth->state().step, AuthStep::kFailed);
    EXPECT_TRUE(auth->state().message.starts_with(c.message)) << auth->state().message;
    EXPECT_TRUE(rig.opened.empty());
    EXPECT_FALSE(fs::exists(rig.dir / "args"));  // rclone never ran
  }
}

// The real rclone, as far as it goes without a provider: custom credentials
// are stored first, rclone's own sign-in page is the address opened, and a
// cancelled sign-in leaves no remote behind.
TEST(RcloneAuth, RealRcloneWithCustomCredentials) {
  setenv("RCLONE_AUTH_NO_OPEN_BROWSER", "true", 1);  // rclone must not open one either
  testing::RecordingRunner recorder;
  RcloneClient client(testing::realRclone(), recorder.runner());
  std::vector<std::string> opened;
  std::optional<std::map<std::string, std::string>> storedWhileOpen;
  std::unique_ptr<RcloneAuth> auth;
  auth = std::make_unique<RcloneAuth>(
      testing::realRclone(), client,
      [&](const std::string& address) {
        opened.push_back(address);
        if (auto stored = client.dump(); stored && stored->contains("gdrive")) {
          storedWhileOpen = stored->at("gdrive");
        }
        auth->cancel();
      },
      nullptr, std::chrono::milliseconds(0));
  auth->signIn("gdrive", "drive", "my-client-id", "my client secret");
  auth->wait();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_TRUE(opened[0].starts_with("http://127.0.0.1:53682/auth?state=")) << opened[0];
  EXPECT_TRUE(opened[0].ends_with("&prompt=select_account"));
  ASSERT_TRUE(storedWhileOpen.has_value());
  EXPECT_EQ(storedWhileOpen->at("client_id"), "my-client-id");
  EXPECT_EQ(storedWhileOpen->at("client_secret"), "my client secret");
  EXPECT_FALSE(client.dump()->contains("gdrive"));
  EXPECT_EQ(auth->state().step, AuthStep::kIdle);
  for (const auto& args : recorder.argumentLists()) {
    for (const auto& arg : args) EXPECT_EQ(arg.find("my client secret"), std::string::npos);
  }
}

}  // namespace
}  // namespace brimvale::cloud
