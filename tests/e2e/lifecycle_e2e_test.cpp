// brimvale install, stop and uninstall, run as the real program against a
// temporary home: what each leaves running and on disk, checked by pid and
// by path. Here no user service manager runs, so the application supervises
// the service itself.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

// Given no installation, then care names the install command. Given a legacy
// folder, then install migrates it, puts every file down private, starts
// nothing without a user service manager, and a second install keeps the
// configuration.
TEST(LifecycleE2E, InstallMigratesPutsFilesDownStartsNothingAndKeepsTheConfiguration) {
  Scene scene;
  for (std::vector<std::string> args : {std::vector<std::string>{"care"}, {"care", "--plan"}}) {
    SCOPED_TRACE(args.size());
    const ProcessResult care = scene.app(args);
    EXPECT_EQ(care.exitCode, 1);
    EXPECT_EQ(care.out, "");
    EXPECT_NE(care.err.find("run `brimvale install` first"), std::string::npos) << care.err;
    EXPECT_FALSE(fs::exists(scene.home.paths().root / "brim-vale"));
  }

  fs::create_directories(scene.home / ".hollin");
  ASSERT_TRUE(writeFileAtomically(scene.home / ".hollin/tarnwick.conf", "NVMe=\"/Volumes/Old\"\n"));
  const ProcessResult install = scene.app({"install"});
  ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
  EXPECT_TRUE(install.out.starts_with("Migrating legacy ~/.hollin → ~/.brimvale\n")) << install.out;
  EXPECT_FALSE(fs::exists(scene.home / ".hollin"));
  const fs::path root = scene.home.paths().root;
  EXPECT_EQ(readFile(root / "brim-vale.conf").value_or(""), "NVMe=\"/Volumes/Old\"\n");
  EXPECT_EQ(modeOf(root), 0700u);
  EXPECT_EQ(modeOf(root / "brim-vale"), 0700u);
  EXPECT_EQ(modeOf(root / "brim-vale.conf"), 0600u);
  EXPECT_TRUE(install.out.ends_with(
      "No user service manager runs here, so the background service was not started: "
      "Brimvale's application owns it (`brimvale run` starts it and stops it when it ends).\n"
      "✓ Install complete.\n"))
      << install.out;
  for (const auto& file : scene.installedFiles()) EXPECT_TRUE(fs::exists(file)) << file;
  std::this_thread::sleep_for(1s);  // a service started anyway would be running by now
  EXPECT_FALSE(scene.servicePid());
  EXPECT_EQ(processesUsing(scene.home), std::vector<int>{});
  const ProcessResult status = scene.app({"status"});
  EXPECT_TRUE(status.out.starts_with("Background service: not running\n")) << status.out;

  // The shim reaches the installed service.
  const ProcessResult shim = runProcess({.path = (scene.home / ".local/bin/brvl").string(),
                                         .args = {"log", "1"},
                                         .envAdditions = {{"HOME", scene.home.path().string()}},
                                         .deadline = 30s});
  EXPECT_EQ(shim.exitCode, 0) << shim.err;

  ASSERT_TRUE(writeFileAtomically(root / "brim-vale.conf", "NVMe=\"/Volumes/Mine\"\n"));
  EXPECT_EQ(scene.app({"install"}).exitCode, 0);
  EXPECT_EQ(readFile(root / "brim-vale.conf").value_or(""), "NVMe=\"/Volumes/Mine\"\n");
}

// Given `brimvale run` and the service it started, `stop` ends both; a second
// `stop` finds nothing and says so; a service left running by hand (started
// detached, as an older install did) is found and stopped too.
TEST(LifecycleE2E, StopEndsTheApplicationItsServiceAndOneNobodyOwnsAndTwiceIsFine) {
  Scene scene;
  ASSERT_EQ(scene.app({"install"}).exitCode, 0);
  auto run = scene.run();
  ASSERT_TRUE(eventually([&] { return scene.servicePid() && alive(*scene.servicePid()); }))
      << run->output();
  const int service = *scene.servicePid();

  const ProcessResult stop = scene.app({"stop"});
  EXPECT_EQ(stop.exitCode, 0) << stop.err;
  EXPECT_TRUE(stop.out.starts_with("Stopped Brimvale's application (`brimvale run`, pid "))
      << stop.out;
  EXPECT_EQ(run->wait(10s), 0) << run->output();
  EXPECT_FALSE(alive(service));
  EXPECT_EQ(processesUsing(scene.home), std::vector<int>{});

  const ProcessResult again = scene.app({"stop"});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.out,
            "Nothing to stop: Brimvale's application and its background service are not "
            "running.\n");

  // The self-check's repair starts the service detached, outliving the check.
  (void)scene.app({"self-check"});
  ASSERT_TRUE(eventually([&] { return scene.servicePid() && alive(*scene.servicePid()); }));
  const int detached = *scene.servicePid();
  const ProcessResult byHand = scene.app({"stop"});
  EXPECT_EQ(byHand.out, "Stopped the background service (pid " + std::to_string(detached) + ").\n")
      << byHand.err;
  EXPECT_FALSE(alive(detached));
}

// Given an installation and a running application with its service, then
// without --yes and a terminal uninstall only shows its plan, and with it
// leaves no process, no definition, shim, manual page or
// completion, and keeps the settings; --purge then removes ~/.brimvale.
TEST(LifecycleE2E, UninstallLeavesNothingRunningOrInstalled) {
  Scene scene;
  ASSERT_EQ(scene.app({"install"}).exitCode, 0);
  ASSERT_TRUE(writeFileAtomically(scene.home.paths().config, "NVMe=\"/Volumes/Mine\"\n"));
  auto run = scene.run();
  ASSERT_TRUE(eventually([&] { return scene.servicePid() && alive(*scene.servicePid()); }))
      << run->output();
  const int service = *scene.servicePid();

  const ProcessResult plan = scene.app({"uninstall"});
  EXPECT_EQ(plan.exitCode, 1);
  EXPECT_TRUE(plan.out.starts_with("Uninstalling Brimvale stops it and removes:\n")) << plan.out;
  EXPECT_NE(plan.out.find("  " + (scene.home / ".local/bin/brvl").string() + "\n"),
            std::string::npos);
  for (const auto& file : scene.installedFiles()) EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_TRUE(alive(service));

  const ProcessResult uninstall = scene.app({"uninstall", "--yes"});
  EXPECT_EQ(uninstall.exitCode, 0) << uninstall.out << uninstall.err;
  EXPECT_TRUE(uninstall.out.ends_with("✓ Brimvale is uninstalled.\n")) << uninstall.out;
  EXPECT_EQ(run->wait(10s), 0) << run->output();
  EXPECT_FALSE(alive(service));
  EXPECT_EQ(processesUsing(scene.home), std::vector<int>{});
  for (const auto& file : scene.installedFiles()) EXPECT_FALSE(fs::exists(file)) << file;
  EXPECT_EQ(readFile(scene.home.paths().config).value_or(""), "NVMe=\"/Volumes/Mine\"\n");

  const ProcessResult purge = scene.app({"uninstall", "--purge", "--yes"});
  EXPECT_EQ(purge.exitCode, 0) << purge.out << purge.err;
  EXPECT_FALSE(fs::exists(scene.home.paths().root));
}

}  // namespace
}  // namespace brimvale::e2e
