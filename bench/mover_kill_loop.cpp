// The folder mover's kill loop: `brimvale move` is stopped with SIGKILL at 30
// moments spread over its steps (named stop points of a test build, and timed
// kills in the middle of the copy, the hashing and the links), then the user's
// next step is taken (move the folder again, `moves resume`, or start
// `brimvale run`), and every file of the folder is read back at its original
// path. Prints the count of files lost, which must be 0.
// Usage: mover_kill_loop   (in a private mount namespace, as bench/run runs it)
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/state/paths.h"
#include "platform/platform.h"
#include "testing/base/tree_view.h"

namespace fs = std::filesystem;
using namespace brimvale;
using brimvale::testing::lostEntries;
using brimvale::testing::userView;
using brimvale::testing::writeAwkwardTree;
using namespace std::chrono_literals;

namespace {

enum class FollowUp { kMoveAgain, kResume, kRun };
const char* followUpName(FollowUp f) {
  return f == FollowUp::kMoveAgain ? "move again"
         : f == FollowUp::kResume  ? "moves resume"
                                   : "brimvale run";
}

struct Trial {
  std::string stopAfter;  // a stop point, or empty for a timed kill
  std::string verify;
  FollowUp then;
  // Timed kill: SIGKILL once this holds for (home, folder, copy).
  std::function<bool(const fs::path&, const fs::path&, const fs::path&)> when = {};
  int files = 60;
  std::size_t bytesEach = 3000;
  bool slowCopy = false;
};

// The phase the move's record shows, or "-" when there is none.
std::string recordedPhase(const fs::path& home) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(home / ".brimvale" / "state" / "folder-moves", ec)) {
    if (e.path().extension() != ".json") continue;
    const std::string text = readFile(e.path()).value_or("");
    const auto at = text.find("\"phase\": \"");
    if (at != std::string::npos) return text.substr(at + 10, text.find('"', at + 10) - at - 10);
  }
  return "-";
}

int linksIn(const fs::path& root) {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink(ec)) ++n;
  }
  return n;
}

bool manifestPhaseIs(const fs::path& home, const std::string& phase) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(home / ".brimvale" / "state" / "folder-moves", ec)) {
    if (e.path().extension() == ".json" &&
        readFile(e.path()).value_or("").find("\"phase\": \"" + phase + "\"") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Runs `brimvale` with HOME set; `stopWhen`, when given, is polled every
// millisecond and ends the run with `signal` once it holds.
ProcessResult runBrimvale(const fs::path& home, std::vector<std::string> args,
                          const std::string& rsync = {}, std::function<bool()> stopWhen = {},
                          int signal = SIGKILL) {
  std::atomic<int> pid{0};
  ProcessResult result;
  std::thread runner([&] {
    result = runProcess({.path = BRIMVALE_PATH,
                         .args = std::move(args),
                         .envAdditions = {{"HOME", home.string()}, {"RSYNC", rsync}},
                         .deadline = std::chrono::seconds(180),
                         .onStart = [&](int p) { pid = p; }});
  });
  if (stopWhen) {
    const auto giveUp = std::chrono::steady_clock::now() + 120s;
    while (std::chrono::steady_clock::now() < giveUp && !stopWhen())
      std::this_thread::sleep_for(1ms);
    if (pid > 0) kill(pid, signal);
  }
  runner.join();
  return result;
}

fs::path makeScripts(const fs::path& home) {
  const fs::path scripts = home / "Scripts";
  fs::create_directories(scripts);
  (void)writeFileAtomically(scripts / "brim-vale",
                            "#!/bin/sh\nreal='" BRIM_VALE_PATH
                            "'\n"
                            "if [ \"$1\" = watch ]; then\n"
                            "  trap 'exit 0' TERM\n"
                            "  while :; do \"$real\" json >/dev/null; sleep 1 & wait $!; done\n"
                            "fi\n"
                            "exec \"$real\" \"$@\"\n",
                            {.mode = 0700});
  return scripts;
}

}  // namespace

int main() {
  const fs::path drive = brimvale::bench::scratchFolder("mover-kill");
  fs::create_directories(drive);
  if (mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=512m") != 0) {
    std::perror("mount tmpfs (run this through bench/run)");
    return 1;
  }
  const std::string slow = BRIMVALE_STANDINS_DIR "/slow_rsync";
  const fs::path working =
      drive / workingFolderName(platform::makeHostPlatform().host->computerName());
  auto phase = [](const char* p) {
    return [p](const fs::path& home, const fs::path&, const fs::path&) {
      return manifestPhaseIs(home, p);
    };
  };
  auto copying = [](const fs::path&, const fs::path&, const fs::path& copy) {
    return fs::exists(copy / "dir 3");
  };
  auto relinking = [](const fs::path&, const fs::path& src, const fs::path&) {
    return fs::is_symlink(src / "dir 0" / "file \"0\" é.bin") ||
           fs::is_symlink(src / "dir 6" / "file \"6\" é.bin");
  };
  using F = FollowUp;
  std::vector<Trial> trials = {
      {"move:locked", "fast", F::kMoveAgain},
      {"mover:claimed", "fast", F::kMoveAgain},
      {"mover:claimed", "fast", F::kResume},
      {"mover:enqueued", "fast", F::kMoveAgain},
      {"mover:enqueued", "fast", F::kResume},
      {"mover:enqueued", "fast", F::kRun},
      {"mover:copying", "fast", F::kMoveAgain},
      {"mover:copying", "thorough", F::kResume},
      {"mover:copying", "fast", F::kRun},
      {"", "fast", F::kMoveAgain, copying, 700, 3000, true},
      {"", "fast", F::kResume, copying, 700, 3000, true},
      {"", "thorough", F::kRun, copying, 700, 3000, true},
      {"mover:hashing", "thorough", F::kMoveAgain},
      {"mover:hashing", "fast", F::kResume},
      {"mover:hashing", "thorough", F::kRun},
      {"", "thorough", F::kMoveAgain, phase("hashing"), 400, 200000},
      {"", "thorough", F::kResume, phase("hashing"), 400, 200000},
      {"mover:verifying", "fast", F::kMoveAgain},
      {"mover:verifying", "thorough", F::kResume},
      {"mover:verifying", "fast", F::kRun},
      {"mover:cleaningUp", "fast", F::kMoveAgain},
      {"mover:cleaningUp", "thorough", F::kResume},
      {"mover:cleaningUp", "off", F::kRun},
      {"", "off", F::kMoveAgain, relinking, 6000, 10},
      {"", "off", F::kResume, relinking, 6000, 10},
      {"", "fast", F::kRun, relinking, 6000, 10},
      {"mover:done", "fast", F::kMoveAgain},
      {"mover:done", "fast", F::kResume},
      {"mover:done", "off", F::kRun},
      {"mover:hashing#1", "off", F::kMoveAgain},
  };
  int totalFiles = 0, totalLost = 0, trialNo = 0;
  for (const auto& t : trials) {
    ++trialNo;
    const fs::path home = brimvale::bench::scratchFolder("kill-loop");
    const fs::path state = home / ".brimvale" / "state";
    fs::create_directories(state);
    (void)writeFileAtomically(state / "user-defaults.json",
                              "{\"brimvale.mover.recentWriteGuardEnabled\": false}");
    (void)writeFileAtomically(home / ".brimvale" / "brim-vale.conf",
                              "NVMe=\"" + drive.string() + "\"\n");
    const std::string name = "Folder " + std::to_string(trialNo);
    const fs::path src = home / name, copy = working / "Relocated" / name;
    writeAwkwardTree(src, t.files, t.bytesEach);
    const auto before = userView(src);
    std::vector<std::string> args = {"move", src.string(), "--yes", "--verify", t.verify};
    if (!t.stopAfter.empty()) args.push_back("--stop-after=" + t.stopAfter);
    std::function<bool()> when;
    if (t.when) when = [&] { return t.when(home, src, copy); };
    const ProcessResult killed = runBrimvale(home, args, t.slowCopy ? slow : std::string(), when);
    const std::string killedIn = recordedPhase(home);
    const int linkedAtKill = linksIn(src);
    bool followed = true;
    switch (t.then) {
      case F::kMoveAgain: {
        auto r = runBrimvale(home, {"move", src.string(), "--yes"});
        followed = r.succeeded() || r.err.find("is already on the drive") != std::string::npos;
        break;
      }
      case F::kResume: followed = runBrimvale(home, {"moves", "resume"}).succeeded(); break;
      case F::kRun: {
        const fs::path scripts = makeScripts(home);
        followed = runBrimvale(home, {"--scripts", scripts.string(), "install"}).succeeded();
        const auto started = std::chrono::steady_clock::now();
        // Stopped once nothing is left unfinished (or after a minute).
        auto r = runBrimvale(
            home, {"--scripts", scripts.string(), "run"}, {},
            [&] {
              const bool settled =
                  !manifestPhaseIs(home, "writing") && !manifestPhaseIs(home, "copying") &&
                  !manifestPhaseIs(home, "hashing") && !manifestPhaseIs(home, "verifying") &&
                  !manifestPhaseIs(home, "cleaningUp");
              return (settled && std::chrono::steady_clock::now() - started > 3s) ||
                     std::chrono::steady_clock::now() - started > 60s;
            },
            SIGTERM);
        followed = followed && r.succeeded();
        break;
      }
    }
    const int lost = lostEntries(before, userView(src));
    const std::string finalPhase = recordedPhase(home);
    totalFiles += static_cast<int>(before.size());
    totalLost += lost;
    std::printf(
        "%2d  kill after %-18s verify %-8s %-18s recorded %-10s links %4d  then %-13s -> %-9s "
        "files %4zu  lost %d%s\n",
        trialNo, t.stopAfter.empty() ? "(timed)" : t.stopAfter.c_str(), t.verify.c_str(),
        killed.describe().c_str(), killedIn.c_str(), linkedAtKill, followUpName(t.then),
        finalPhase.c_str(), before.size(), lost,
        followed ? "" : "  (follow-up reported a failure)");
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(home, ec);
    fs::remove_all(working, ec);
  }
  umount2(drive.c_str(), MNT_DETACH);
  std::printf("kill loop: %zu trials, %d files, %d lost\n", trials.size(), totalFiles, totalLost);
  return totalLost == 0 ? 0 : 1;
}
