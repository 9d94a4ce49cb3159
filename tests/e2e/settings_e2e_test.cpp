// `brimvale settings` end to end: the real program changes a mover setting and
// a service configuration key, and the service reads the change.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "e2e_harness.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kConfig =
    "# Brimvale configuration\n"
    "NVMe=\"/Volumes/none\"\n"
    "# my own note about quiet hours\n"
    "QUIET_MODE=schedule\n"
    "RULES=(\n"
    "  \"delete_old | $HOME/Old | | 30 | \"\n"
    ")\n";

// A mistake writing nothing is checked by SettingsCommand.MistakesExitTwoAndWriteNothing.
TEST(SettingsE2E, ChangesReachTheMoverAndTheService) {
  TempHome home;
  home.writeConfig(std::string(kConfig));
  const fs::path config = home.path() / ".brimvale" / "brim-vale.conf";
  const fs::path defaults = home.state() / "user-defaults.json";

  struct Step {
    std::vector<std::string> args;
    std::string out;
  } steps[] = {
      {{"settings", "mover.verification-level", "thorough"},
       "mover.verification-level is now thorough.\n"},
      {{"settings", "mover.verification-level"}, "thorough\n"},
      {{"settings", "quiet.mode", "smart"},
       "quiet.mode is now smart.\nSaved · daemon picks this up within 30s\n"},
      {{"settings", "auto.enabled", "on"},
       "auto.enabled is now on.\nSaved · daemon picks this up within 30s\n"},
      {{"settings", "quiet.mode"}, "smart\n"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[1]);
    ProcessResult r = runApp(home, step.args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, step.out);
  }
  const std::string written = *readFile(config);
  EXPECT_EQ(written,
            "# Brimvale configuration\n"
            "NVMe=\"/Volumes/none\"\n"
            "# my own note about quiet hours\n"
            "QUIET_MODE=smart\n"
            "RULES=(\n"
            "  \"delete_old | $HOME/Old | | 30 | \"\n"
            ")\n"
            "\n"
            "# --- Set by the Preferences window ---\n"
            "ENABLE_AUTO_ACTIONS=1\n");
  EXPECT_EQ(nlohmann::json::parse(*readFile(defaults))["brimvale.mover.verificationLevel"],
            "thorough");

  ProcessResult status = runBrimVale(home, {"json"});
  ASSERT_EQ(status.exitCode, 0) << status.out;
  const auto snapshot = nlohmann::json::parse(status.out);
  EXPECT_EQ(snapshot["quiet_mode"], "smart");
  EXPECT_EQ(snapshot["auto_enabled"], true);
  EXPECT_EQ(snapshot["rule_count"], 1);
}

}  // namespace
}  // namespace brimvale::e2e
