// The folder mover end to end: `brimvale move` with real rsync into a tmpfs
// drive, relaunches after SIGKILL in each phase, and an unplugged drive.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/testing/tree_view.h"
#include "e2e_harness.h"

extern char** environ;

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using testing::writeAwkwardTree;
using namespace std::chrono_literals;

ProcessResult brimvale(const TempHome& home, std::vector<std::string> args) {
  return runProcess({.path = BRIMVALE_PATH,
                     .args = std::move(args),
                     .envAdditions = {{"HOME", home.path().string()}},
                     .deadline = std::chrono::seconds(120)});
}

// `brimvale move` running in the background, output to a file.
class BackgroundMove {
 public:
  BackgroundMove(const TempHome& home, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {BRIMVALE_PATH, "move", "--yes"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (!std::string_view(*e).starts_with("HOME=")) env.emplace_back(*e);
    }
    env.push_back("HOME=" + home.path().string());
    const std::string out = (home.path() / "move-output.txt").string();
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> argv, envp;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      for (auto& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      execve(BRIMVALE_PATH, argv.data(), envp.data());
      _exit(127);
    }
  }
  ~BackgroundMove() { kill9(); }
  void kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  bool running() {
    int status = 0;
    return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
  }

 private:
  pid_t pid_ = -1;
};

// Phase of the only manifest on disk, or empty.
std::string manifestPhase(const TempHome& home) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(home.state() / "folder-moves", ec)) {
    if (e.path().extension() != ".json") continue;  // a write cut short by SIGKILL
    auto text = readFile(e.path());
    if (!text) continue;
    auto j = nlohmann::json::parse(*text, nullptr, false);
    if (j.is_object() && j.contains("phase")) return j["phase"].get<std::string>();
  }
  return {};
}

// Every regular file of `reference` reads the same through `moved` (links followed).
void expectSameContent(const fs::path& reference, const fs::path& moved) {
  std::size_t checked = 0;
  for (const auto& e : fs::recursive_directory_iterator(reference)) {
    if (!e.is_regular_file()) continue;
    const fs::path rel = e.path().lexically_relative(reference);
    auto want = readFile(e.path());
    auto got = readFile(moved / rel);
    ASSERT_TRUE(got) << "lost: " << rel;
    ASSERT_EQ(*got, *want) << "altered: " << rel;
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

class MoverE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_.state());
    ASSERT_TRUE(writeFileAtomically(home_.state() / "status.json",
                                    "{\"nvme_path\":\"" + drive_.path().string() + "\"}"));
    ASSERT_TRUE(writeFileAtomically(home_.state() / "user-defaults.json",
                                    "{\"brimvale.mover.recentWriteGuardEnabled\": false}"));
  }
  fs::path relocated(const std::string& name) const {
    return drive_.path() / thisWorkingFolderName() / "Relocated" / name;
  }
  TempHome home_;
  // One drive per test: ctest runs the tests side by side in one namespace.
  TmpfsDrive drive_{
      std::string("Mover-") + ::testing::UnitTest::GetInstance()->current_test_info()->name(),
      "768m"};
};

TEST_F(MoverE2E, RelocationLeavesLinksAndListsTheMove) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "My Projects";
  writeAwkwardTree(src, 40, 5000, 17);
  const fs::path reference = home_.path() / "reference";
  fs::copy(src, reference, fs::copy_options::recursive);
  auto r = brimvale(home_, {"move", src.string(), "--yes", "--verify", "thorough"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Relocated " + src.string()), std::string::npos);
  for (const auto& e : fs::recursive_directory_iterator(src)) {
    if (e.is_directory()) continue;
    SCOPED_TRACE(e.path().string());
    ASSERT_TRUE(e.is_symlink());
    EXPECT_EQ(fs::read_symlink(e.path()),
              relocated("My Projects") / e.path().lexically_relative(src));
  }
  expectSameContent(reference, src);
  auto list = brimvale(home_, {"moves"});
  EXPECT_NE(list.out.find("  done  " + src.string()), std::string::npos) << list.out;
  auto log = brimvale(home_, {"move-log"});
  EXPECT_NE(log.out.find("] enqueued: " + src.string()), std::string::npos) << log.out;

  // Moving it again is a no-op once the folder itself is a link to its copy.
  fs::remove_all(src);
  fs::create_symlink(relocated("My Projects"), src);
  auto again = brimvale(home_, {"move", src.string()});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_NE(brimvale(home_, {"move-log"}).out.find("noop: " + src.string()), std::string::npos);
}

TEST_F(MoverE2E, ProtectedAndMissingFoldersAreRefused) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  fs::create_directories(home_.path() / "Library" / "Mail" / "V10");
  auto r = brimvale(home_, {"move", (home_.path() / "Library" / "Mail" / "V10").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("(Apple Mail)"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_directory(home_.path() / "Library" / "Mail" / "V10"));
  EXPECT_FALSE(fs::exists(home_.state() / "folder-moves") &&
               !fs::is_empty(home_.state() / "folder-moves"));
}

TEST_F(MoverE2E, SurvivesSigkillInEveryPhase) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  for (const std::string target : {"copying", "hashing", "verifying", "cleaningUp"}) {
    SCOPED_TRACE(target);
    TempHome home;
    fs::create_directories(home.state());
    ASSERT_TRUE(writeFileAtomically(home.state() / "status.json",
                                    "{\"nvme_path\":\"" + drive_.path().string() + "\"}"));
    ASSERT_TRUE(writeFileAtomically(home.state() / "user-defaults.json",
                                    "{\"brimvale.mover.recentWriteGuardEnabled\": false}"));
    const std::string name = "Tree-" + target;
    const fs::path src = home.path() / name;
    writeAwkwardTree(src, 3000, 40000, 17);
    const fs::path reference = home.path() / "reference";
    fs::copy(src, reference, fs::copy_options::recursive);
    const bool plainMove = target == "verifying";  // a plain move has the riskier clean-up: rm
    std::string seen;
    {
      BackgroundMove move(home,
                          {src.string(), "--verify", target == "copying" ? "fast" : "thorough"});
      const auto giveUp = std::chrono::steady_clock::now() + 120s;
      const std::vector<std::string> order{"writing",   "copying",    "hashing",
                                           "verifying", "cleaningUp", "done"};
      const auto rank = [&](const std::string& p) {
        return std::find(order.begin(), order.end(), p) - order.begin();
      };
      while (move.running() && std::chrono::steady_clock::now() < giveUp) {
        seen = manifestPhase(home);
        if (!seen.empty() && rank(seen) >= rank(target)) break;
        std::this_thread::sleep_for(1ms);
      }
      move.kill9();
    }
    (void)plainMove;
    RecordProperty("killed_in_" + target, seen);
    auto resumed = brimvale(home, {"moves", "resume"});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(manifestPhase(home), "done") << "killed in " << seen << "\n"
                                           << brimvale(home, {"move-log"}).out;
    expectSameContent(reference, src);
    expectSameContent(reference, relocated(name));
    fs::remove_all(relocated(name));
  }
}

TEST_F(MoverE2E, DriveUnpluggedDuringTheCopyLeavesTheMoveWaiting) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "Big";
  writeAwkwardTree(src, 3000, 60000, 17);
  {
    BackgroundMove move(home_, {src.string()});
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    const fs::path log = home_.state() / "mover-log.txt";
    while (readFile(log).value_or("").find("] rsync started (pid ") == std::string::npos &&
           std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(umount2(drive_.path().c_str(), MNT_DETACH), 0);
    while (move.running() && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(manifestPhase(home_), "waitingForDrive") << brimvale(home_, {"move-log"}).out;
  auto list = brimvale(home_, {"moves"});
  EXPECT_NE(list.out.find("Destination drive disconnected during copy. Will resume on reconnect."),
            std::string::npos)
      << list.out;
  EXPECT_EQ(readFile(src / "dir 3" / "file \"3\" é.bin")->size(), 60000u);
}

}  // namespace
}  // namespace brimvale::e2e
