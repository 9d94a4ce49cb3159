#include "app/core/app_move_commands.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/app_move_test_world.h"
#include "apps/offload_record.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;

class NoProbe final : public platform::BundleProbe {
 public:
  std::optional<std::int64_t> lastUsed(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  bool appleSigned(const std::string&) override { return false; }
};

// The app mover's world (apps/app_move_test_world.h) behind the commands,
// with the catalogue and the classification reading only its folders.
struct AppMoveScene {
  apps::testing::AppMoveWorld w;
  NoProbe probe;
  std::ostringstream out;
  std::ostringstream err;
  bool systemOwned = false;  // what classification sees: the user cannot write the app
  std::string runningApp;    // a program that is open now
  apps::OffloadRecordStore offloads{apps::offloadsFolder(w.paths), {}};
  AppsCommandHost apps{
      .folders = apps::defaultAppFolders(w.home, w.tmp.path()),
      .factsCache = w.tmp / "facts.json",
      .diagnosticsLog = w.tmp / "diagnostics.log",
      .probe = probe,
      .isRunning = [this](std::string_view program) { return program == runningApp; },
      .classifier = {.updateFrameworks =
                         apps::UpdateFrameworkDetection({.adobeDesktopCommon = w.tmp / "root/adobe",
                                                         .microsoftAutoUpdate = w.tmp / "root/mau",
                                                         .caskrooms = {w.tmp / "root/Caskroom"},
                                                         .setappFolder = w.tmp / "root/Setapp"}),
                     .helpers = apps::HelperToolScanner(std::vector<apps::HelperFolder>{}),
                     .userCanWrite = [this](const fs::path&) { return !systemOwned; },
                     .now = [] { return apps::Clock::from_time_t(1'780'000'000); }},
      .dockPreferences = w.tmp / "dock.plist",
      .toolFallback = {},
      .now = 1'780'000'000,
      .out = out,
      .err = err,
      .run = runProcess};
  AppMoveCommandHost host{
      .apps = apps,
      .env = w.env,
      .workingFolder = w.workingFolder,
      .offload = {
          .home = w.home,
          .applicationsRoot = w.applications,
          .dataPlaces = {},
          .workingFolder = {},
          .freeBytes = [](const fs::path&) { return std::optional<std::uint64_t>(1ULL << 40); },
          .quitApp = {},
          .tools = &w.tools,
          .records = &offloads,
          .files = &w.files,
          .trash = {w.home / ".local/share/Trash", 0},
          .log = {},
          .clock = [] { return std::time_t{1'780'000'000}; }}};

  fs::path bundle(const std::string& name) const { return w.applications / (name + ".app"); }
  bool linked(const std::string& name) const {
    return apps::isLinkTo(bundle(name), (w.appsRoot / (name + ".app")).string());
  }
  void clear() {
    out.str("");
    err.str("");
  }
};

bool has(const std::ostringstream& stream, const std::string& part) {
  return stream.str().find(part) != std::string::npos;
}

TEST(AppMoveCommand, RiskDecidesWhetherTheAppMoves) {
  struct Case {
    const char* name;
    bool systemOwned;
    bool running;
    bool overrideRisk;
    int exit;
    bool moves;
    const char* said;  // on standard output when it moves, else on standard error
  };
  const Case cases[] = {
      {"safe", false, false, false, 0, true,
       "Moved \u201cQ\u201d to your fast drive and kept it working.\n"},
      {"known risk, not overridden", true, false, false, 1, false,
       "has a known risk: Installed by macOS (system-owned)."},
      {"known risk, overridden", true, false, true, 0, true,
       "despite its known risk, as you asked"},
      {"blocked even when overridden", false, true, true, 1, false,
       "\u201cQ\u201d can\u2019t be moved: Currently running. Quit Q"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AppMoveScene s;
    s.w.makeBundle("Q");
    const auto before = brimvale::testing::userView(s.bundle("Q"));
    s.systemOwned = c.systemOwned;
    if (c.running) s.runningApp = "Q";
    EXPECT_EQ(appsMoveCommand(s.host, "Q", c.overrideRisk), c.exit) << s.err.str();
    EXPECT_EQ(s.linked("Q"), c.moves);
    EXPECT_EQ(brimvale::testing::userView(s.bundle("Q")), before) << "the app changed";
    EXPECT_TRUE(has(c.moves ? s.out : s.err, c.said)) << s.out.str() << s.err.str();
    if (!c.moves) {
      EXPECT_TRUE(has(s.err, "Nothing was moved; the app is untouched."));
    }
  }
}

// Given a link where the app was, then moving it again changes nothing: our
// own finished move holds already (0), another link is not ours (1); both
// say so with the engine's already-a-link sentence.
TEST(AppMoveCommand, AnAppThatIsAlreadyALinkIsNotMovedAgain) {
  struct Case {
    const char* name;
    bool ours;
    int exit;
  };
  for (const auto& c : {Case{"our move", true, 0}, Case{"someone else's link", false, 1}}) {
    SCOPED_TRACE(c.name);
    AppMoveScene s;
    s.w.makeBundle("Q");
    if (c.ours) {
      ASSERT_EQ(appsMoveCommand(s.host, "Q", false), 0) << s.err.str();
    } else {
      fs::rename(s.bundle("Q"), s.w.tmp / "Q.app");
      fs::create_directory_symlink(s.w.tmp / "Q.app", s.bundle("Q"));
    }
    const auto target = fs::read_symlink(s.bundle("Q"));
    const auto records = s.w.store.loadAll().size();
    s.clear();
    EXPECT_EQ(appsMoveCommand(s.host, "Q", true), c.exit);
    EXPECT_TRUE(
        has(c.ours ? s.out : s.err, "The bundle at " + s.bundle("Q").string() +
                                        " is already a symlink — it appears to be relocated."))
        << s.out.str() << s.err.str();
    EXPECT_EQ(fs::read_symlink(s.bundle("Q")), target);
    EXPECT_EQ(s.w.store.loadAll().size(), records) << "a move was started";
  }
}

// Given a moved app reinstalled with four new permissions, then the sweep
// holds it for review with the notice's texts, and the user's answer either
// moves it to the drive or keeps it here for good.
TEST(AppMoveCommand, APermissionReviewIsAnsweredByApprovingOrKeeping) {
  struct Case {
    const char* name;
    ReviewAnswer answer;
    bool linked;
    const char* said;
  };
  const Case cases[] = {
      {"approve", ReviewAnswer::kApprove, true, "Moved \u201cQ\u201d to your fast drive"},
      {"keep", ReviewAnswer::kKeepInternal, false, "\u201cQ\u201d stays on your internal disk at"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AppMoveScene s;
    s.w.makeBundle("Q");
    ASSERT_EQ(appsMoveCommand(s.host, "Q", false), 0) << s.err.str();
    fs::remove(s.bundle("Q"));
    s.w.makeBundle("Q", "2.0", " fresh");
    s.w.tmp.file(s.bundle("Q") / "Contents/Info.plist",
                 R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                 "<key>CFBundleExecutable</key><string>Q</string>"
                 "<key>NSCameraUsageDescription</key><string>x</string>"
                 "<key>NSMicrophoneUsageDescription</key><string>x</string>"
                 "<key>NSCalendarsUsageDescription</key><string>x</string>"
                 "<key>NSBluetoothAlwaysUsageDescription</key><string>x</string>"
                 "</dict></plist>");
    const auto fresh = brimvale::testing::userView(s.bundle("Q"));
    ASSERT_EQ(appsReinstallsCommand(s.host, true, false), 0) << s.err.str();
    ASSERT_TRUE(apps::isRealFolder(s.bundle("Q"))) << "moved before the review";
    s.clear();

    // A later process finds the review in the records.
    ASSERT_EQ(appsReviewCommand(s.host, "", ReviewAnswer::kNone, false), 0);
    EXPECT_TRUE(has(s.out,
                    "Q needs permission review: The new install requests permissions it "
                    "didn't ask for before ("))
        << s.out.str();
    EXPECT_TRUE(has(s.out, " and 1 more). Open Brimvale to review and approve.\n")) << s.out.str();
    EXPECT_EQ(appsReviewCommand(s.host, "Nope", c.answer, false), 1);
    EXPECT_TRUE(has(s.err, "No permission review is waiting for \u201cNope\u201d")) << s.err.str();

    if (c.answer == ReviewAnswer::kApprove) {
      // Declined, the answer is not recorded and the app stays where it is.
      s.host.confirm = [](const std::string&) { return Verdict::kStopped; };
      EXPECT_EQ(appsReviewCommand(s.host, "q", c.answer, false), 1);
      EXPECT_FALSE(s.linked("Q"));
      s.host.confirm = {};
    }
    s.clear();
    EXPECT_EQ(appsReviewCommand(s.host, "q", c.answer, false), 0) << s.err.str();
    EXPECT_TRUE(has(s.out, c.said)) << s.out.str();
    EXPECT_EQ(s.linked("Q"), c.linked);
    EXPECT_EQ(brimvale::testing::userView(s.bundle("Q")), fresh);

    // Answered once: a sweep leaves the answer standing.
    s.clear();
    ASSERT_EQ(appsReinstallsCommand(s.host, true, true), 0);
    EXPECT_EQ(s.linked("Q"), c.linked) << s.out.str();
  }
}

}  // namespace
}  // namespace brimvale::app
