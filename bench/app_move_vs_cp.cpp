// A whole app move through the app mover against `cp -a` of the same bundle:
// 20,000 files totalling 1 GiB on a tmpfs, moved to the same tmpfs (bundle,
// quarantine and drive folder on one file system). The move's time covers
// its nine steps: records, the copy, counting both trees, parking the
// original, the link, the checks and the purge of the parked original. The
// figure is the ratio of the medians of alternating runs.
//
// Usage: app_move_vs_cp [runs]   (default 5; needs scripts/in-private-mounts)
#include <sys/mount.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "apps/app_move_environment.h"
#include "apps/app_move_store.h"
#include "apps/app_relocator_engine.h"
#include "bench_support.h"
#include "bundle_maker.h"
#include "common/base/process.h"
#include "common/state/paths.h"
#include "platform/linux/linux_app_relocation_tools.h"

namespace fs = std::filesystem;
using brimvale::bench::timeOnce;
namespace apps = brimvale::apps;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 5;
  const fs::path root = brimvale::bench::scratchFolder("appmove");
  if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=3g") != 0) {
    std::perror("mount (run through scripts/in-private-mounts)");
    return 1;
  }
  const fs::path applications = root / "Applications";
  const fs::path app = applications / "Bench.app";
  brimvale::bench::makeBundle(app);
  const fs::path home = root / "home";
  fs::create_directories(home);
  // The app mover takes a drive as connected only where something is mounted:
  // the drive is a folder of this tmpfs bound elsewhere, so between rounds the
  // bundle can still be renamed back through the folder itself.
  const fs::path driveStore = root / "DriveStore";
  const fs::path drive = root / "Drive";
  fs::create_directories(driveStore);
  fs::create_directories(drive);
  if (mount(driveStore.c_str(), drive.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    std::perror("bind mount of the drive");
    return 1;
  }
  const fs::path working = brimvale::workingFolderFor(drive, "Bench");
  fs::create_directories(working);
  const fs::path peerCopy = root / "peer" / "Bench.app";
  fs::create_directories(peerCopy.parent_path());

  auto tools = brimvale::platform::makeLinuxAppRelocationTools({}, {}, brimvale::runProcess);
  const brimvale::StatePaths paths = brimvale::StatePaths::forHome(home);
  const apps::AppManifestStore store(paths.appMovesFolder, {}, brimvale::systemClock());
  apps::AppMoveEnvironment env =
      apps::AppMoveEnvironment::forHome(home, "Bench", *tools, store, [](const std::string&) {});
  env.applicationRoots = {applications};
  apps::AppEntry entry;
  entry.displayName = "Bench";
  entry.bundlePath = app.string();
  entry.id = entry.bundlePath;
  entry.bundleIdentifier = "org.example.bench";
  entry.sizeBytes = static_cast<std::int64_t>(brimvale::bench::kBundleBytes);

  std::vector<double> ours, peer;
  for (int i = -1; i < runs; ++i) {  // the first round warms the caches
    apps::AppRelocatorEngine engine(env);
    std::optional<apps::EngineCompletion> result;
    engine.addCompletionListener([&](const apps::EngineCompletion& c) { result = c; });
    const auto start = std::chrono::steady_clock::now();
    (void)engine.enqueue(entry, working / "Apps", {}, false);
    engine.drain();
    const double moved =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!result || !result->success) {
      std::fprintf(stderr, "the move failed: %s\n",
                   result ? result->sentence.c_str() : "no result");
      return 1;
    }
    // Put the bundle back for the next round: a rename on the same tmpfs.
    fs::remove(app);
    fs::rename(brimvale::workingFolderFor(driveStore, "Bench") / "Apps" / "Bench.app", app);
    const double cp =
        timeOnce({.path = "/bin/cp", .args = {"-a", app.string(), peerCopy.string()}});
    fs::remove_all(peerCopy);
    if (i < 0) continue;
    ours.push_back(moved);
    peer.push_back(cp);
  }
  std::printf("bundle: %d files, 1 GiB, tmpfs to tmpfs, through AppRelocatorEngine\n",
              brimvale::bench::kBundleFiles);
  brimvale::bench::reportRatio("app move", ours, "cp -a", peer, 1.3);

  umount2(root.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove(root, ec);
  return 0;
}
