#include "apps/vendor_reinstall_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;

constexpr const char* kId = "0A1B2C3D-0000-4000-8000-000000000001";

struct Request {
  std::string path;
  std::string destinationRoot;
  bool overrideAccepted = false;
};

// A committed relocation of Notes.app under a temporary applications folder,
// with its copy on a temporary drive, and a monitor over them.
class MonitorFixture : public ::testing::Test {
 public:
  void SetUp() override {
    AppMoveManifest m;
    m.id = kId;
    m.originalPath = (apps_ / "Notes.app").string();
    m.nvmePath = (drive_ / "Notes.app").string();
    m.displayName = "Notes";
    m.bundleID = "org.example.notes";
    m.phase = AppMovePhase::kDone;
    m.updateFramework = "brewCask";
    m.tccEntitlements = nlohmann::json::array(
        {{{"key", "NSCameraUsageDescription"}, {"displayName", "Camera"}, {"source", "x"}}});
    store_.save(m);
    tmp_.folder("drive/BRIM-test/Apps/Notes.app/Contents");
  }

  VendorReinstallMonitor& monitor() {
    if (!monitor_) {
      VendorReinstallMonitorSetup setup;
      setup.store = &store_;
      setup.reRelocate = [this](const AppEntry& app, const std::string& root,
                                const AppClassificationResult&, bool overrideAccepted) {
        requests_.push_back({app.bundlePath, root, overrideAccepted});
        return queueResult_;
      };
      setup.classifyInstall = [this](const AppEntry&) { return classification_; };
      setup.appsFolder = [this] { return appsFolder_; };
      setup.applicationsRoots = {apps_};
      setup.notify = [this](const MonitorNotification& n) { notes_.push_back(n); };
      setup.log = [this](const std::string& line) { log_.push_back(line); };
      setup.clock = [this] { return now_; };
      monitor_.emplace(std::move(setup));
    }
    return *monitor_;
  }

  void reinstall() const { fs::create_directories(apps_ / "Notes.app/Contents"); }
  void relink() const {
    fs::remove_all(apps_ / "Notes.app");
    fs::create_directory_symlink(drive_ / "Notes.app", apps_ / "Notes.app");
  }
  AppMoveManifest reinstallRecord() const { return *moveWithId(store_.loadAll(), kId); }
  std::vector<std::string> kinds() const {
    std::vector<std::string> out;
    for (const auto& m : reinstallRecord().externalModifications) out.push_back(m.kind);
    return out;
  }

  brimvale::testing::TempFolder tmp_{"reinstall-monitor"};
  fs::path apps_ = tmp_.folder("Applications");
  fs::path drive_ = tmp_ / "drive/BRIM-test/Apps";
  std::optional<fs::path> appsFolder_ = drive_;
  std::time_t now_ = 1'800'000'000;
  AppManifestStore store_{tmp_ / "home/.brimvale/state/app-moves", {}, [this] { return now_; }};
  AppClassificationResult classification_;
  Result<void> queueResult_;
  std::vector<Request> requests_;
  std::vector<MonitorNotification> notes_;
  std::vector<std::string> log_;
  std::optional<VendorReinstallMonitor> monitor_;
};

// Given the link in place, a relocation from outside the application folders,
// an app the user brought home (the bundle at its old place is theirs) or no
// link at all, a sweep moves nothing and records at most the missing link, once.
TEST_F(MonitorFixture, SweepsThatMoveNothing) {
  struct Case {
    const char* name;
    std::function<void(MonitorFixture&, AppMoveManifest&)> arrange;
    std::vector<std::string> recorded;
  };
  const std::vector<Case> cases = {
      {"link in place", [](MonitorFixture& f, AppMoveManifest&) { f.relink(); }, {}},
      {"relocated from the Desktop",
       [](MonitorFixture& f, AppMoveManifest& m) {
         m.originalPath = (f.tmp_ / "Desktop/Notes.app").string();
         f.tmp_.folder("Desktop/Notes.app");
       },
       {}},
      {"moved back by the user",
       [](MonitorFixture& f, AppMoveManifest& m) {
         m.statusMessage = "restored_by_user_at_2026-12-01T10-00-00Z";
         f.reinstall();
       },
       {}},
      {"link missing", [](MonitorFixture&, AppMoveManifest&) {}, {"symlink_missing"}},
  };
  const AppMoveManifest committed = reinstallRecord();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    monitor_.reset();
    fs::remove_all(apps_ / "Notes.app");
    auto m = committed;
    c.arrange(*this, m);
    store_.save(m);
    monitor().sweep();
    monitor().sweep();
    EXPECT_EQ(kinds(), c.recorded);
    EXPECT_TRUE(requests_.empty());
    EXPECT_TRUE(notes_.empty());
  }
}

}  // namespace
}  // namespace brimvale::apps
