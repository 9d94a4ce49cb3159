#include "fault_world.h"

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "common/base/file_io.h"
#include "common/state/paths.h"
#include "platform/platform.h"

namespace brimvale::faults {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::atomic<int> gWorlds{0};

void copyTree(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directories(to, ec);
  fs::copy(from, to,
           fs::copy_options::recursive | fs::copy_options::copy_symlinks |
               fs::copy_options::overwrite_existing,
           ec);
}

void clearFolder(const fs::path& folder) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) fs::remove_all(e.path(), ec);
}

// Writes zeros until the file system says it is full, less `leave` bytes.
void fillUp(const fs::path& folder, std::uintmax_t leave) {
  struct statvfs vfs {};
  if (statvfs(folder.c_str(), &vfs) != 0) return;
  const std::uintmax_t avail = static_cast<std::uintmax_t>(vfs.f_bavail) * vfs.f_frsize;
  std::ofstream filler(folder / ".fault-filler", std::ios::binary);
  const std::string block(64 * 1024, '\0');
  for (std::uintmax_t written = 0; written + leave + block.size() <= avail && filler;
       written += block.size())
    filler.write(block.data(), static_cast<std::streamsize>(block.size()));
}

}  // namespace

Pause::Pause(fs::path flag, std::string step) : flag_(std::move(flag)), step_(std::move(step)) {}

std::string Pause::option() const { return "--pause-at=" + step_ + "@" + flag_.string(); }

bool Pause::reached(std::chrono::milliseconds timeout, const std::function<bool()>& ended) const {
  const auto until = std::chrono::steady_clock::now() + timeout;
  const fs::path mark = flag_.string() + ".reached";
  for (;;) {
    if (fs::exists(mark)) return true;
    if ((ended && ended()) || std::chrono::steady_clock::now() >= until) return fs::exists(mark);
    std::this_thread::sleep_for(5ms);
  }
}

void Pause::release() const { std::ofstream(flag_) << "go"; }

FaultWorld::FaultWorld(const std::string& label, const std::string& driveSize)
    : home_(brimvale::testing::StateFolder::kCreated, "fault-home"), scratch_("fault-scratch") {
  mountPoint_ = fs::path("/Volumes") /
                ("fm-" + label + "-" + std::to_string(getpid()) + "-" + std::to_string(++gWorlds));
  backing_ = std::make_unique<brimvale::testing::TmpfsMount>(scratch_ / "drive-backing", driveSize,
                                                             "0755");
  if (!backing_->mounted()) {
    whyNot_ = backing_->whyNot();
    return;
  }
  replug();
  if (!plugged_) return;
  home_.writeConfig("# Brimvale configuration\nNVMe=\"" + mountPoint_.string() +
                    "\"\nMIN_AGE_HARD_FLOOR_DAYS=7\n");
  // Folders written moments ago may move: the cells write their trees just before.
  (void)writeFileAtomically(home_.state() / "user-defaults.json",
                            "{\"brimvale.mover.recentWriteGuardEnabled\": false}");
  (void)writeFileAtomically(home_.state() / "status.json",
                            "{\"nvme_path\":\"" + mountPoint_.string() + "\"}");
  // The installed service program, as `brimvale install` leaves it.
  std::error_code linked;
  fs::create_symlink(BRIM_VALE_PATH, home_.path() / ".brimvale" / "brim-vale", linked);
  ProcessResult r = run({.program = Program::kService, .args = {"recover"}});
  if (!r.succeeded()) whyNot_ = "brim-vale recover failed: " + r.describe() + "\n" + r.out + r.err;
}

FaultWorld::~FaultWorld() {
  releaseState();
  if (second_) {
    const fs::path at = second_->path();
    second_.reset();
    std::error_code ec;
    fs::remove(at, ec);
  }
  if (plugged_) umount2(mountPoint_.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove_all(mountPoint_, ec);
  backing_.reset();
}

fs::path FaultWorld::working() const {
  return mountPoint_ / workingFolderName(platform::makeHostPlatform().host->computerName());
}

std::vector<fs::path> FaultWorld::contentRoots() const {
  std::vector<fs::path> roots{home_.path(), plugged_ ? mountPoint_ : backing_->path(),
                              scratch_.path()};
  if (second_) roots.push_back(second_->path());
  return roots;
}

fs::path FaultWorld::secondDrive(const std::string& size) {
  if (!second_)
    second_ = std::make_unique<brimvale::testing::TmpfsMount>(mountPoint_.string() + "-second",
                                                              size, "0755");
  return second_->path();
}

void FaultWorld::unplug() {
  if (plugged_ && umount2(mountPoint_.c_str(), MNT_DETACH) == 0) plugged_ = false;
}

void FaultWorld::replug() {
  if (plugged_) return;
  std::error_code ec;
  fs::create_directories(mountPoint_, ec);
  if (mount(backing_->path().c_str(), mountPoint_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    whyNot_ = "cannot bind the drive onto " + mountPoint_.string() + ": " + std::strerror(errno);
    return;
  }
  plugged_ = true;
}

void FaultWorld::fillDrive(std::uintmax_t leaveBytes) { fillUp(backing_->path(), leaveBytes); }

void FaultWorld::fillState() {
  const fs::path saved = scratch_ / "state-before";
  copyTree(home_.state(), saved);
  stateMount_ = std::make_unique<brimvale::testing::TmpfsMount>(home_.state(), "2m");
  if (!stateMount_->mounted()) return;
  copyTree(saved, home_.state());
  fillUp(home_.state(), 0);
}

void FaultWorld::makeStateReadOnly() {
  const std::string state = home_.state().string();
  if (mount(state.c_str(), state.c_str(), nullptr, MS_BIND, nullptr) != 0) return;
  stateBound_ = true;
  (void)mount(nullptr, state.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
}

void FaultWorld::releaseState() {
  if (stateBound_) {
    umount2(home_.state().c_str(), MNT_DETACH);
    stateBound_ = false;
  }
  if (stateMount_ && stateMount_->mounted()) {
    const fs::path after = scratch_ / "state-after";
    std::error_code ec;
    fs::remove(home_.state() / ".fault-filler", ec);
    copyTree(home_.state(), after);
    stateMount_->unmount();
    clearFolder(home_.state());
    copyTree(after, home_.state());
    fs::remove_all(after, ec);
  }
  stateMount_.reset();
}

ProcessResult FaultWorld::run(const Invocation& what, const std::vector<std::string>& hooks,
                              std::chrono::seconds deadline) const {
  std::vector<std::string> args = hooks;
  args.insert(args.end(), what.args.begin(), what.args.end());
  auto env = what.env;
  env.emplace_back("HOME", home_.path().string());
  return runProcess({.path = what.program == Program::kApp ? BRIMVALE_PATH : BRIM_VALE_PATH,
                     .args = std::move(args),
                     .envAdditions = std::move(env),
                     .deadline = deadline,
                     .stdinData = what.stdinData});
}

std::future<ProcessResult> FaultWorld::start(const Invocation& what,
                                             const std::vector<std::string>& hooks) const {
  return std::async(std::launch::async, [this, what, hooks] { return run(what, hooks); });
}

Pause FaultWorld::pauseAt(const std::string& step) const {
  return Pause(scratch_ / ("pause-" + std::to_string(++pauses_)), step);
}

}  // namespace brimvale::faults
