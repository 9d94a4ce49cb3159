// brimvale uninstall, run as the real program against a temporary home: what
// it leaves running and on disk, checked by pid and by path. Here no user service manager runs, so
// the application supervises the service itself.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "app/core/user_docs.h"
#include "background_app.h"
#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "service_process.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A Scripts folder with the real man pages and completion, and a brim-vale
// that forwards to the real one except `watch`, which idles until terminated.
fs::path makeScripts(const TempHome& home) {
  const fs::path scripts = home / "Scripts";
  fs::create_directories(scripts);
  fs::copy(fs::path(BRIMVALE_PATH).parent_path() / "Scripts/share", scripts / "share",
           fs::copy_options::recursive);
  const std::string script =
      "#!/bin/sh\nif [ \"$1\" = watch ]; then\n  trap 'exit 0' TERM\n"
      "  while :; do sleep 1 & wait $!; done\nfi\nexec '" BRIM_VALE_PATH "' \"$@\"\n";
  EXPECT_TRUE(writeFileAtomically(scripts / "brim-vale", script, {.mode = 0700}));
  return scripts;
}

struct Scene {
  TempHome home;
  fs::path scripts = makeScripts(home);

  ProcessResult app(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--scripts", scripts.string()});
    return runApp(home, std::move(args));
  }
  std::unique_ptr<BackgroundApp> run() const {
    return std::make_unique<BackgroundApp>(
        home, std::vector<std::string>{"--scripts", scripts.string(), "run"}, "run-output.txt");
  }
  std::optional<int> servicePid() const { return e2e::servicePid(home); }
  // Every file the installation puts down outside ~/.brimvale's settings and state.
  std::vector<fs::path> installedFiles() const {
    std::vector<fs::path> files{home / ".brimvale/brim-vale", home / ".local/bin/brvl",
                                home / ".local/bin/brimvale", home / ".local/bin/brim-vale",
                                home.state() / "service-definition.json"};
    for (std::string_view program : app::kDocumentedPrograms) {
      for (const auto& file : app::userDocFiles(program))
        files.push_back(home / ".local/share" / file.relative);
    }
    return files;
  }
};

// Any process whose command line names a path in this home: the service
// program and the shim live there, so a service left behind shows here.
std::vector<int> processesUsing(const TempHome& home) {
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    auto cmdline = readFile(entry.path() / "cmdline");
    if (cmdline && cmdline->find(home.path().string()) != std::string::npos &&
        alive(std::stoi(name)))
      found.push_back(std::stoi(name));
  }
  return found;
}

// Given an installation and a running application with its service, then
// without --yes and a terminal uninstall only shows its plan, and with it
// leaves no process, no definition, program link, shim, manual page or
// completion, and keeps the settings; --purge then removes ~/.brimvale.
TEST(LifecycleE2E, UninstallLeavesNothingRunningOrInstalled) {
  Scene scene;
  ASSERT_EQ(scene.app({"install"}).exitCode, 0);
  EXPECT_TRUE(fs::equivalent(scene.home / ".local/bin/brimvale", BRIMVALE_PATH));
  ASSERT_TRUE(writeFileAtomically(scene.home.paths().config, "NVMe=\"/Volumes/Mine\"\n"));
  auto run = scene.run();
  ASSERT_TRUE(eventually([&] { return scene.servicePid() && alive(*scene.servicePid()); }))
      << run->output();
  const int service = *scene.servicePid();

  const ProcessResult plan = scene.app({"uninstall"});
  EXPECT_EQ(plan.exitCode, 1);
  for (const auto& file : scene.installedFiles()) EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_TRUE(alive(service));

  const ProcessResult uninstall = scene.app({"uninstall", "--yes"});
  EXPECT_EQ(uninstall.exitCode, 0) << uninstall.out << uninstall.err;
  EXPECT_EQ(run->wait(10s), 0) << run->output();
  EXPECT_FALSE(alive(service));
  EXPECT_EQ(processesUsing(scene.home), std::vector<int>{});
  for (const auto& file : scene.installedFiles()) EXPECT_FALSE(fs::exists(file)) << file;
  EXPECT_EQ(readFile(scene.home.paths().config).value_or(""), "NVMe=\"/Volumes/Mine\"\n");

  const ProcessResult purge = scene.app({"uninstall", "--purge", "--yes"});
  EXPECT_EQ(purge.exitCode, 0) << purge.out << purge.err;
  EXPECT_FALSE(fs::exists(scene.home.paths().root));
}

// Given an installation and a chosen drive that is not set up yet, then the
// first move sets it up and status says so; once the drive is unmounted
// (its empty mount-point folder stays), neither status nor drives sees it.
TEST(LifecycleE2E, StatusFollowsTheDriveThroughAMoveAndAnUnmount) {
  Scene scene;
  brimvale::testing::TmpfsDrive drive("Lifecycle-" + std::to_string(getpid()));
  BRIMVALE_REQUIRE_DRIVE(drive);
  const std::string at = drive.path().string();
  ASSERT_EQ(scene.app({"install"}).exitCode, 0);
  ASSERT_EQ(scene.app({"drives", "select", at}).exitCode, 0);
  fs::create_directories(scene.home / "Videos");
  ASSERT_TRUE(writeFileAtomically(scene.home / "Videos/clip", "frames"));
  const ProcessResult moved =
      scene.app({"move", (scene.home / "Videos").string(), "--yes", "--bypass-recent-write-guard"});
  ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;

  const std::string setUp = scene.app({"status"}).out;
  EXPECT_NE(setUp.find("Fast drive:        connected at " + at + ","), std::string::npos) << setUp;
  EXPECT_EQ(setUp.find("not set up"), std::string::npos) << setUp;

  drive.unmount();
  const std::string gone = scene.app({"status"}).out;
  EXPECT_NE(gone.find("Fast drive:        not connected (expected at " + at + ")"),
            std::string::npos)
      << gone;
  EXPECT_EQ(scene.app({"drives"}).out.find(at), std::string::npos);
}

}  // namespace
}  // namespace brimvale::e2e
