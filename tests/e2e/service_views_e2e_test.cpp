// `brimvale drives` and `drive-transfer status` run the real service program
// against tmpfs drives and show its answers in words, or unchanged with --json.
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

std::string tag() { return std::to_string(getpid()); }

// A home whose service program is the real one, with `drive` configured.
struct ViewHome {
  TempHome home;

  explicit ViewHome(const fs::path& drive) {
    home.writeConfig("NVMe=\"" + drive.string() + "\"\nRULES=()\nAPP_CACHE_PATHS=()\n");
    fs::create_symlink(BRIM_VALE_PATH, home.path() / ".brimvale" / "brim-vale");
  }
  ProcessResult brimvale(std::vector<std::string> args) const {
    return runProcess({.path = BRIMVALE_PATH,
                       .args = std::move(args),
                       .envAdditions = {{"HOME", home.path().string()}},
                       .deadline = std::chrono::minutes(5)});
  }
};

TEST(ServiceViewsE2E, DrivesShowTheServiceAnswersInWordsOrUnchanged) {
  TmpfsDrive drive("sv-" + tag());
  BRIMVALE_REQUIRE_DRIVE(drive);
  ViewHome sandbox(drive.path());
  const std::string path = drive.path().string();

  struct Case {
    const char* what;
    std::vector<std::string> view;
    std::vector<std::string> service;  // empty when the view has no raw counterpart
    int status;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {"the list", {"drives"}, {}, 0, {path, "tmpfs", "67.1 MB", "warn"}},
      {"the list as JSON", {"drives", "--json"}, {"list-drives"}, 0, {}},
      {"one drive",
       {"drives", "assess", path},
       {},
       0,
       {"The drive at " + path + " can be used, but mind the following:\n",
        "Its file system is tmpfs.\n"}},
      {"one drive as JSON", {"drives", "assess", path, "--json"}, {"assess", path}, 0, {}},
      {"a missing drive",
       {"drives", "assess", path + "-gone"},
       {},
       1,
       {"can't be used:\n  Path does not exist or is not a directory.\n"}},
      {"no transfer", {"drive-transfer", "status"}, {}, 0, {"No drive transfer is under way.\n"}},
      {"no transfer as JSON", {"drive-transfer", "status", "--json"}, {"transfer-status"}, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProcessResult r = sandbox.brimvale(c.view);
    EXPECT_EQ(r.exitCode, c.status) << r.describe() << r.err;
    for (const auto& text : c.shown) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    if (!c.service.empty()) {
      // Other tests mount and unmount drives meanwhile: compare with the
      // service's answer only when that answer held still around the view's.
      bool compared = false;
      for (int attempt = 0; attempt < 10 && !compared; ++attempt) {
        const ProcessResult before = runBrimVale(sandbox.home, c.service);
        const ProcessResult shown = sandbox.brimvale(c.view);
        const ProcessResult after = runBrimVale(sandbox.home, c.service);
        if (before.out != after.out) continue;
        compared = true;
        EXPECT_EQ(shown.out, before.out);
        EXPECT_FALSE(shown.out.empty());
      }
      EXPECT_TRUE(compared) << "the service's answer never held still";
    }
  }
}

}  // namespace
}  // namespace brimvale::e2e
