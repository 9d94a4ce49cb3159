#include "app_move_scene.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "apps/app_move_environment.h"
#include "apps/app_move_guards.h"
#include "apps/app_move_store.h"
#include "common/base/file_io.h"
#include "platform/platform.h"

namespace brimvale::e2e {

namespace fs = std::filesystem;

namespace {

constexpr const char* kNsenter = "/usr/bin/nsenter";
constexpr const char* kUnshare = "/usr/bin/unshare";

std::string attributesOf(const fs::path& p) {
  std::string names(4096, '\0');
  const ssize_t n = ::llistxattr(p.c_str(), names.data(), names.size());
  if (n <= 0) return {};
  names.resize(static_cast<std::size_t>(n));
  std::vector<std::string> listed;
  for (std::size_t at = 0; at < names.size();) {
    const std::string name = names.c_str() + at;
    at += name.size() + 1;
    if (!name.starts_with("user.") || name == "user.brimvale.relocated") continue;
    std::string value(256, '\0');
    const ssize_t v = ::lgetxattr(p.c_str(), name.c_str(), value.data(), value.size());
    value.resize(v > 0 ? static_cast<std::size_t>(v) : 0);
    listed.push_back(name + "=" + value);
  }
  std::ranges::sort(listed);
  std::string out;
  for (const auto& a : listed) out += " " + a;
  return out;
}

}  // namespace

BundleFacts bundleFacts(const fs::path& bundle) {
  BundleFacts facts;
  std::error_code ec;
  std::map<std::pair<dev_t, ino_t>, int> groups;
  for (fs::recursive_directory_iterator it(bundle, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path p = it->path();
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) continue;
    std::string f = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec);
    if (S_ISREG(st.st_mode)) {
      const auto bytes = readFile(p);
      f += " " + std::to_string(st.st_size) + ":" +
           std::to_string(std::hash<std::string>{}(bytes.value_or("?")));
      if (st.st_nlink > 1) {
        const auto key = std::pair(st.st_dev, st.st_ino);
        const int group = groups.emplace(key, static_cast<int>(groups.size())).first->second;
        f += " hardlink#" + std::to_string(group);
      }
    }
    if (S_ISLNK(st.st_mode)) f += " -> " + fs::read_symlink(p, ec).string();
    f += attributesOf(p);
    facts[p.lexically_relative(bundle).string()] = f;
  }
  return facts;
}

void writeBundle(const fs::path& bundle, const std::string& name, int files) {
  const fs::path contents = bundle / "Contents";
  fs::create_directories(contents / "MacOS");
  fs::create_directories(contents / "Resources" / "en.lproj");
  std::ofstream(contents / "Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      << "<key>CFBundleExecutable</key><string>" << name << "</string>"
      << "<key>CFBundleIdentifier</key><string>org.example." << name << "</string>"
      << "<key>CFBundleShortVersionString</key><string>1.0</string></dict></plist>";
  const fs::path exe = contents / "MacOS" / name;
  std::ofstream(exe) << "#!/bin/sh\necho '" << name << " runs'\n";
  fs::permissions(exe, fs::perms(0755));
  for (int i = 0; i < files; ++i) {
    std::ofstream(contents / "Resources" / ("r" + std::to_string(i) + ".dat"))
        << std::string(100 + i % 900, static_cast<char>('a' + i % 26));
  }
  const fs::path strings = contents / "Resources" / "en.lproj" / "Localizable strings";
  std::ofstream(strings) << "\"hello\" = \"hallo\";\n";
  fs::permissions(strings, fs::perms(0640));
  fs::create_symlink("en.lproj/Localizable strings", contents / "Resources" / "current");
  fs::create_hard_link(exe, contents / "Resources" / "same-program");
  const std::string tag = "kept";
  (void)::lsetxattr(strings.c_str(), "user.example.tag", tag.data(), tag.size(), 0);
  const timespec times[2] = {{1'600'000'000, 5}, {1'600'000'000, 5}};
  ::utimensat(AT_FDCWD, strings.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool isRealBundle(const fs::path& path) { return apps::isRealFolder(path); }

bool linksTo(const fs::path& link, const fs::path& target) {
  return apps::isLinkTo(link, target.string());
}

AppMoveScene::AppMoveScene(const brimvale::testing::TempHome& home, const fs::path& drive)
    : home_(home) {
  if (!fs::is_directory("/Applications")) {
    whyNot_ = "no /Applications to mount over (run under scripts/in-private-mounts)";
    return;
  }
  working_ = drive / workingFolderName(platform::makeHostPlatform().host->computerName());
  fs::create_directories(working_);
  fs::create_directories(home.state());
  home.writeConfig("NVMe=\"" + drive.string() + "\"\n");
  const fs::path ready = home.path() / ".namespace-ready";
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execl(kUnshare, kUnshare, "--mount", "--propagation", "private", "/bin/sh", "-c",
            "mount -t tmpfs -o size=2g,mode=0755 tmpfs /Applications && : > \"$1\" && "
            "exec sleep 100000",
            "sh", ready.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 1000 && !fs::exists(ready); ++i) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      whyNot_ = "could not mount a tmpfs on /Applications in a namespace of its own";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  holder_ = child;
  applications_ = fs::path("/proc") / std::to_string(child) / "root" / "Applications";
  fs::create_directories(home.path() / "Applications");
}

AppMoveScene::~AppMoveScene() {
  if (holder_ <= 0) return;
  ::kill(holder_, SIGKILL);
  int status = 0;
  ::waitpid(holder_, &status, 0);
}

std::vector<std::string> AppMoveScene::inNamespace(const std::vector<std::string>& args) const {
  std::vector<std::string> all{"--mount=/proc/" + std::to_string(holder_) + "/ns/mnt", "--",
                               BRIMVALE_PATH};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

ProcessResult AppMoveScene::app(const std::vector<std::string>& args) const {
  return runProcess({.path = kNsenter,
                     .args = inNamespace(args),
                     .envAdditions = {{"HOME", home_.path().string()}},
                     .deadline = std::chrono::minutes(5)});
}

AppMoveScene::Running AppMoveScene::start(const std::vector<std::string>& args,
                                          const std::string& outputName) const {
  const fs::path output = home_.path() / outputName;
  std::vector<std::string> argv{kNsenter};
  for (auto& a : inNamespace(args)) argv.push_back(a);
  const std::string home = "HOME=" + home_.path().string();
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    const int none = ::open("/dev/null", O_RDONLY);
    ::dup2(none, STDIN_FILENO);
    ::setpgid(0, 0);
    ::putenv(const_cast<char*>(home.c_str()));
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    ::execv(kNsenter, raw.data());
    ::_exit(127);
  }
  return Running(child, output);
}

AppMoveScene::Running::Running(Running&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_(std::move(other.output_)),
      status_(other.status_) {}

AppMoveScene::Running::~Running() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    (void)wait();
  }
}

bool AppMoveScene::Running::running() {
  if (status_ >= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

void AppMoveScene::Running::signal(int sig) const {
  if (status_ < 0) ::kill(pid_, sig);
}

int AppMoveScene::Running::wait() {
  if (status_ >= 0) return status_;
  int status = 0;
  ::waitpid(pid_, &status, 0);
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

std::string AppMoveScene::Running::output() const { return readFile(output_).value_or(""); }

int AppMoveScene::liveMoves() const {
  const apps::AppManifestStore store(home_.paths().appMovesFolder, {}, [] { return 0; });
  return static_cast<int>(std::ranges::count_if(store.loadAll(), apps::isLiveRelocation));
}

int AppMoveScene::unrecordedParked() const {
  const apps::AppManifestStore store(home_.paths().appMovesFolder, {}, [] { return 0; });
  const auto records = store.loadAll();
  int count = 0;
  for (const fs::path& root : {apps::homeQuarantineRoot(home_.path()),
                               applications_ / std::string(apps::kVolumeQuarantineFolder)}) {
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string leaf = it->path().filename().string();
      if (leaf.starts_with("overwritten-by-restore-")) continue;
      // Records name the namespace's own path, which this process reaches under /proc.
      const bool named = std::ranges::any_of(records, [&](const apps::AppMoveManifest& m) {
        return m.quarantinePath && fs::path(*m.quarantinePath).filename() == leaf;
      });
      if (!named) ++count;
    }
  }
  return count;
}

KillLoopTally runAppMoveKillLoop(const AppMoveScene& scene, const std::vector<std::string>& points,
                                 std::ostream* log) {
  KillLoopTally tally;
  int n = 0;
  for (const auto& point : points) {
    const std::string name = "Killed" + std::to_string(++n);
    const fs::path original = scene.applications() / (name + ".app");
    const fs::path copy = scene.working() / "Apps" / (name + ".app");
    writeBundle(original, name, 40);
    const BundleFacts before = bundleFacts(original);
    const bool back = point.starts_with("app-move-back");
    if (back && !scene.app({"apps", "move", name, "--yes"}).succeeded()) {
      ++tally.lost;
      continue;
    }
    const std::vector<std::string> command =
        back ? std::vector<std::string>{"apps", "move-back", name, "--yes"}
             : std::vector<std::string>{"apps", "move", name, "--yes"};
    std::vector<std::string> killed{"--stop-after=" + point};
    killed.insert(killed.end(), command.begin(), command.end());
    const ProcessResult first = scene.app(killed);
    ++tally.tried;
    const bool reached = first.outcome == ProcessOutcome::kSignalled && first.signal == SIGKILL;
    if (!reached) ++tally.notReached;
    // Where the user looks: the bundle itself, or our link to a whole copy.
    // Between parking and linking (or unlinking and renaming back) the place
    // is empty until the next start repairs it; the re-run is that start.
    const auto whole = [&] {
      return bundleFacts(original) == before && (isRealBundle(original) || linksTo(original, copy));
    };
    const bool inPlace = whole();
    const ProcessResult again = scene.app(command);
    const bool done = again.succeeded() && whole() &&
                      (back ? isRealBundle(original) : linksTo(original, copy)) &&
                      scene.unrecordedParked() == 0;
    if (!done) ++tally.lost;
    if (log) {
      *log << point << ": " << (reached ? "killed" : "NOT REACHED") << ", "
           << (inPlace ? "in place" : "being repaired") << " after the kill, "
           << (done ? "whole and done" : "LOST OR NOT DONE") << " after the re-run"
           << (again.succeeded() ? "" : " (" + again.describe() + ": " + again.err + ")") << "\n";
    }
    // Keep the applications folder small for the next point.
    (void)scene.app({"apps", "move-back", name, "--yes"});
  }
  return tally;
}

}  // namespace brimvale::e2e
