// Whole-process cost of `brim-vale move-dir` against rsync run with the very
// arguments move-dir gives it, on the same tree (20,000 small files and a few
// large ones) onto a tmpfs drive, its output read as move-dir reads it.
// move-dir adds its checks, the size measurement, parking, the comparison,
// the link, the log and the snapshot; the figure is the ratio of the medians
// of alternating runs. Bare `rsync -aHEX` is shown for reference.
//
// Usage: move_dir_vs_rsync [runs]   (default 7; needs scripts/in-private-mounts)
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "common/base/process.h"
#include "common/state/paths.h"
#include "platform/platform.h"
#include "service/relocation/relocation.h"

namespace fs = std::filesystem;
using brimvale::bench::timeOnce;

namespace {

void writeFile(const fs::path& path, std::size_t bytes, char fill) {
  std::ofstream(path, std::ios::binary) << std::string(bytes, fill);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 7;
  const fs::path home = brimvale::bench::scratchFolder("move");
  const fs::path drive = brimvale::bench::scratchFolder("move-dir");
  fs::create_directories(drive);
  if (mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=1g") != 0) {
    std::perror("mount (run through scripts/in-private-mounts)");
    return 1;
  }

  const fs::path src = home / "Bench \"tree\" \xC3\xA9";
  for (int d = 0; d < 200; ++d) {
    const fs::path dir = src / ("dir " + std::to_string(d));
    fs::create_directories(dir);
    for (int f = 0; f < 100; ++f) writeFile(dir / ("file " + std::to_string(f)), 512 + f * 20, 'a');
  }
  for (int i = 0; i < 3; ++i)
    writeFile(src / ("large " + std::to_string(i) + ".bin"), 32 << 20, 'L');

  fs::create_directories(home / ".brimvale");
  std::ofstream(home / ".brimvale" / "brim-vale.conf") << "NVMe=\"" << drive.string() << "\"\n";
  const std::vector<std::pair<std::string, std::string>> env{{"HOME", home.string()}};
  timeOnce({.path = BRIM_VALE_PATH, .args = {"recover"}, .envAdditions = env});
  const fs::path target =
      drive /
      brimvale::workingFolderName(brimvale::platform::makeHostPlatform().host->computerName()) /
      "Relocated" / src.filename();
  const fs::path peerTarget = drive / "peer";
  const std::string rsync = brimvale::findExecutable("rsync");

  brimvale::ProcessInvocation moveDir{
      .path = BRIM_VALE_PATH, .args = {"move-dir", src.string()}, .envAdditions = env};
  brimvale::ProcessInvocation peer{
      .path = rsync, .args = brimvale::service::moveDirCopyArguments(src, peerTarget)};
  peer.onStdout = [](std::string_view) {};
  peer.onStderr = [](std::string_view) {};
  peer.outputPacing = std::chrono::milliseconds(25);
  peer.captureLimit = 64 << 10;
  brimvale::ProcessInvocation bare{
      .path = rsync, .args = {"-aHEX", src.string() + "/", peerTarget.string() + "/"}};
  auto undoMove = [&] {
    fs::remove(src);
    fs::rename(src.string() + ".hollin-old", src);
    fs::remove_all(target);
  };
  std::vector<double> a, b, c;
  for (int i = -1; i < runs; ++i) {  // the first round warms the caches
    double ms = timeOnce(moveDir);
    undoMove();
    if (i >= 0) a.push_back(ms);
    ms = timeOnce(peer);
    fs::remove_all(peerTarget);
    if (i >= 0) b.push_back(ms);
    ms = timeOnce(bare);
    fs::remove_all(peerTarget);
    if (i >= 0) c.push_back(ms);
  }
  std::printf("tree: 20,000 small files + 3 x 32 MiB onto a tmpfs drive\n");
  std::printf("peer: %s", rsync.c_str());
  for (const auto& arg : brimvale::service::moveDirCopyArguments("<tree>", "<copy>"))
    std::printf(" %s", arg.c_str());
  std::printf("\n");
  brimvale::bench::reportRatio("brim-vale move-dir", a, "rsync, move-dir args", b, 1.05);
  std::printf("-- against bare rsync, same series:\n");
  brimvale::bench::reportRatio("brim-vale move-dir", a, "rsync -aHEX", c, std::nullopt);

  umount2(drive.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove(drive, ec);
  fs::remove_all(home, ec);
  return 0;
}
