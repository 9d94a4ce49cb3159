#include "cloud/secret_service_pepper_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "cloud/secret_vault.h"
#include "common/base/process.h"
#include "testing/base/temp_folder.h"
#include "testing/base/text_checks.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInsideSession = "BRIMVALE_KEYRING_SESSION";
constexpr const char* kSessionTool = "/usr/bin/dbus-run-session";
constexpr const char* kKeyringDaemon = "/usr/bin/gnome-keyring-daemon";

// Starts an unlocked keyring on the private bus, then runs this test program
// ($0) on the test named in $1. No path is part of the script itself. A
// keyring that will not start here exits with kNoKeyring.
constexpr int kNoKeyring = 77;
constexpr const char* kSessionScript =
    "printf brimvale | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 77; "
    "exec \"$0\" --gtest_filter=\"$1\"";

// What a store holds, as text a failed comparison can show.
std::string held(PepperStore& store) {
  auto pepper = store.load();
  if (!pepper) return "<error: " + pepper.error().detail + ">";
  return *pepper ? base64Encode(**pepper) : "<none>";
}

// Runs inside a private session bus with a fresh keyring in a temporary home
// (the machine's own keyring is never touched); outside, it starts that
// session and runs itself there.
TEST(SecretServicePepper, KeepsAndAdoptsThePepperInTheKeyring) {
  if (!std::getenv(kInsideSession)) {
    if (::access(kSessionTool, X_OK) != 0 || ::access(kKeyringDaemon, X_OK) != 0) {
      GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed (scripts/setup "
                      "installs both); the keyring store is untested here";
    }
    brimvale::testing::TempFolder home{"bv-keyring"};
    fs::path run = home.folder("run");
    ::chmod(run.c_str(), 0700);
    ProcessInvocation session;
    session.path = kSessionTool;
    session.args = {"--",
                    "/bin/sh",
                    "-c",
                    kSessionScript,
                    fs::read_symlink("/proc/self/exe"),
                    "SecretServicePepper.KeepsAndAdoptsThePepperInTheKeyring"};
    session.envAdditions = {{"HOME", home.path()},
                            {"XDG_RUNTIME_DIR", run},
                            {"XDG_DATA_HOME", home / "data"},
                            {"XDG_CONFIG_HOME", home / "config"},
                            {"XDG_CACHE_HOME", home / "cache"},
                            {kInsideSession, "1"}};
    session.deadline = std::chrono::seconds(120);
    ProcessResult result = runProcess(session);
    if (result.outcome == ProcessOutcome::kExited && result.exitCode == kNoKeyring) {
      GTEST_SKIP() << "gnome-keyring-daemon would not start in this environment: " << result.err;
    }
    ASSERT_TRUE(result.succeeded()) << result.describe() << "\n" << result.out << result.err;
    EXPECT_TRUE(brimvale::testing::contains(result.out, "[  PASSED  ] 1 test")) << result.out;
    return;
  }

  brimvale::testing::TempFolder tmp;
  const fs::path folder = tmp.folder("secrets");
  const std::string filePepper(kPepperBytes, '\x5a');
  ASSERT_TRUE(makeFilePepperStore(folder)->keep(filePepper));

  // A pepper kept in the file moves into the keyring, and only then leaves the file.
  auto store = makeSecretServicePepperStore(folder);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(held(*store), base64Encode(filePepper));
  EXPECT_FALSE(fs::exists(folder / ".pepper"));
  EXPECT_EQ(held(*makeSecretServicePepperStore(folder)), base64Encode(filePepper));

  // Another state folder has its own pepper; a vault built on it reads back.
  const fs::path other = tmp.folder("other-secrets");
  auto otherStore = makeSecretServicePepperStore(other);
  ASSERT_NE(otherStore, nullptr);
  EXPECT_EQ(held(*otherStore), "<none>");
  SecretVault vault({other / "vault.enc", other}, *otherStore, "machine:k|setup:1");
  ASSERT_TRUE(vault.set("nas", "password", "pw"));
  EXPECT_FALSE(fs::exists(other / ".pepper"));
  std::string kept = held(*otherStore);
  EXPECT_EQ(base64Decode(kept).value_or("").size(), kPepperBytes) << kept;
  EXPECT_NE(kept, base64Encode(filePepper));
  auto reopened = makeSecretServicePepperStore(other);
  ASSERT_NE(reopened, nullptr);
  SecretVault again({other / "vault.enc", other}, *reopened, "machine:k|setup:1");
  EXPECT_EQ(again.load()->at("nas").at("password"), "pw");
}

}  // namespace
}  // namespace brimvale::cloud
