// The panic recovery's kill loop: four relocated folders (two by the
// service's move-dir, one with its original parked and one whose original was
// confirmed and deleted, two by `brimvale move`) are brought home by
// `brimvale panic-recovery --yes`, stopped with SIGKILL at eleven moments of
// its steps and then run again; every file is read back at
// its path. Prints the files lost and the links left into the drive, which
// must both be 0.
// Usage: panic_kill_loop   (in a private mount namespace, as bench/run runs it)
#include <sys/mount.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "testing/base/temp_home.h"
#include "testing/base/tree_view.h"

namespace fs = std::filesystem;
using namespace brimvale;
using brimvale::testing::lostEntries;
using brimvale::testing::TreeView;
using brimvale::testing::userView;

namespace {

const fs::path kDrive = brimvale::bench::scratchFolder("panic-kill");

ProcessResult run(const char* program, const fs::path& home, std::vector<std::string> args) {
  return runProcess({.path = program,
                     .args = std::move(args),
                     .envAdditions = {{"HOME", home.string()}},
                     .deadline = std::chrono::seconds(180)});
}

int linksIntoDrive(const fs::path& home) {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(home, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    const auto target = (it->path().parent_path() / fs::read_symlink(it->path(), ec));
    if (target.lexically_normal().string().starts_with(kDrive.string() + "/")) ++n;
  }
  return n;
}

// One trial: the scene, the killed run, the run after it. Files lost, or -1
// when the scene could not be built.
int trial(const std::string& moment, int& linksLeft) {
  for (const auto& e : fs::directory_iterator(kDrive)) fs::remove_all(e.path());
  testing::TempHome home;
  home.writeConfig("NVMe=\"" + kDrive.string() + "\"\n");
  if (!run(BRIM_VALE_PATH, home.path(), {"recover"}).succeeded()) return -1;
  (void)writeFileAtomically(home.state() / "user-defaults.json",
                            "{\"brimvale.mover.recentWriteGuardEnabled\": false}");
  const std::vector<std::string> folders{"Projects/Caf\xc3\xa9 'one'", "Music \"two\"",
                                         "Work/three", "Games/four"};
  std::vector<TreeView> seen;
  for (const auto& f : folders) {
    testing::writeAwkwardTree(home / f, 40, 20'000);
    seen.push_back(userView(home / f));
  }
  if (!run(BRIM_VALE_PATH, home.path(), {"move-dir", (home / folders[0]).string()}).succeeded())
    return -1;
  // The last one's original is confirmed and deleted: only its link is left.
  const fs::path confirmed = home / folders[3];
  if (!run(BRIM_VALE_PATH, home.path(), {"move-dir", confirmed.string()}).succeeded() ||
      !run(BRIMVALE_PATH, home.path(), {"parked", "confirm", confirmed.string() + ".hollin-old"})
           .succeeded())
    return -1;
  for (std::size_t i = 1; i + 1 < folders.size(); ++i) {
    if (!run(BRIMVALE_PATH, home.path(), {"move", (home / folders[i]).string(), "--yes"})
             .succeeded())
      return -1;
  }
  (void)run(BRIMVALE_PATH, home.path(), {"panic-recovery", "--yes", "--stop-after=" + moment});
  (void)run(BRIMVALE_PATH, home.path(), {"panic-recovery", "--yes"});
  int lost = 0;
  for (std::size_t i = 0; i < folders.size(); ++i)
    lost += lostEntries(seen[i], userView(home / folders[i]));
  linksLeft = linksIntoDrive(home.path());
  return lost;
}

}  // namespace

int main() {
  fs::create_directories(kDrive);
  if (mount("tmpfs", kDrive.c_str(), "tmpfs", 0, "size=256m") != 0) {
    std::perror("mount tmpfs (run this through bench/run)");
    return 1;
  }
  const std::vector<std::string> moments{
      "homecoming:paused",          "homecoming:parked-updated", "homecoming:unlinked",
      "homecoming:parked-returned", "homecoming:parked-made",    "homecoming:staged",
      "homecoming:set-aside",       "homecoming:swapped",        "homecoming:recorded",
      "homecoming:copy-removed",    "homecoming:links-removed",  "homecoming:kept-aside"};
  int totalLost = 0, totalLinks = 0;
  for (const auto& moment : moments) {
    int links = 0;
    const int lost = trial(moment, links);
    std::printf("%-28s lost %d, links into the drive %d\n", moment.c_str(), lost, links);
    totalLost += lost < 0 ? 1 : lost;
    totalLinks += links;
  }
  umount2(kDrive.c_str(), MNT_DETACH);
  std::printf("files lost: %d, links left: %d\n", totalLost, totalLinks);
  return totalLost == 0 && totalLinks == 0 ? 0 : 1;
}
