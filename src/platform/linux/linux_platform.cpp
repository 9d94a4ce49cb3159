#include "platform/linux/linux_platform.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "platform/linux/linux_sources.h"
#include "platform/linux/power_supply.h"
#include "platform/posix_process_launcher.h"

namespace brimvale::platform {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kIdleToolDeadline{2000};
constexpr milliseconds kNotifyDeadline{3000};

bool isExecutable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string runtimeDir(const LinuxPaths& paths) {
  if (!paths.userRuntimeDir.empty()) return paths.userRuntimeDir;
  return "/run/user/" + std::to_string(getuid());
}

class LinuxMountTable final : public MountTable {
 public:
  explicit LinuxMountTable(std::string procRoot) : procRoot_(std::move(procRoot)) {}

  bool isMountedAt(const std::string& path) override {
    auto mountinfo = readFile(procRoot_ + "/self/mountinfo");
    if (!mountinfo) return false;
    std::vector<std::string> points = parseMountPoints(*mountinfo);
    return std::find(points.begin(), points.end(), path) != points.end();
  }

 private:
  std::string procRoot_;
};

class LinuxVolumeMeter final : public VolumeMeter {
 public:
  VolumeSpace measure(const std::string& path) override {
    struct statvfs fs {};
    if (statvfs(path.c_str(), &fs) != 0) return {};
    return {static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize,
            static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize};
  }
};

class LinuxUserActivity final : public UserActivity {
 public:
  LinuxUserActivity(LinuxPaths paths, ProcessRunner run)
      : paths_(std::move(paths)), run_(std::move(run)) {
    if (paths_.xprintidle.empty()) paths_.xprintidle = findExecutable("xprintidle");
  }

  std::uint64_t idleSeconds() override {
    std::optional<std::uint64_t> newest;
    auto consider = [&newest](std::optional<std::uint64_t> reading) {
      if (reading && (!newest || *reading < *newest)) newest = reading;
    };
    bool display = !environmentValue("DISPLAY").empty();
    if (display && isExecutable(paths_.xprintidle)) {
      auto out = outputOf(run_, paths_.xprintidle, {}, kIdleToolDeadline);
      if (out) consider(parseXprintidleSeconds(*out));
    }
    LogindReading logind = readLogind();
    consider(logind.idle);
    if (newest) return *newest;
    if (display || logind.hasSession) return 0;
    // Nobody is logged in: the machine has been unattended since it started.
    auto uptime = readFile(paths_.procRoot + "/uptime");
    return uptime ? parseUptimeSeconds(*uptime).value_or(0) : 0;
  }

  PowerState power() override { return readPowerSupplies(paths_.powerSupplyRoot); }

 private:
  struct LogindReading {
    bool hasSession = false;
    std::optional<std::uint64_t> idle;
  };

  // logind refuses show-user for a user with no session, and fails outright
  // where it does not run; both mean "no session it knows of".
  LogindReading readLogind() {
    LogindReading reading;
    if (!isExecutable(paths_.loginctl)) return reading;
    if (access((paths_.logindUsersDir + "/" + std::to_string(getuid())).c_str(), F_OK) != 0) {
      return reading;
    }
    auto user = outputOf(run_, paths_.loginctl,
                         {"show-user", std::to_string(getuid()), "-p", "Display", "-p", "Sessions"},
                         kIdleToolDeadline);
    if (!user) return reading;
    KeyValues values = parseKeyValues(*user);
    std::string sessions{trimBlanks(findValue(values, "Sessions").value_or(""))};
    std::string display{trimBlanks(findValue(values, "Display").value_or(""))};
    reading.hasSession = !sessions.empty() || !display.empty();
    if (display.empty()) return reading;
    auto session = outputOf(run_, paths_.loginctl,
                            {"show-session", display, "-p", "IdleHint", "-p", "IdleSinceHint"},
                            kIdleToolDeadline);
    if (!session) return reading;
    auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    reading.idle = parseLogindIdleSeconds(*session, static_cast<std::uint64_t>(now.count()));
    return reading;
  }

  LinuxPaths paths_;
  ProcessRunner run_;
};

class LinuxHostIdentity final : public HostIdentity {
 public:
  explicit LinuxHostIdentity(std::string machineInfo) : machineInfo_(std::move(machineInfo)) {}

  std::string computerName() override {
    if (auto info = readFile(machineInfo_)) {
      std::string pretty = parsePrettyHostname(*info);
      if (!pretty.empty()) return pretty;
    }
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return {};
    return shortHostName(name);
  }

 private:
  std::string machineInfo_;
};

class LinuxProcessTable final : public ProcessTable {
 public:
  explicit LinuxProcessTable(std::string procRoot) : procRoot_(std::move(procRoot)) {}

  bool isRunning(std::string_view name) override {
    if (name.empty()) return false;
    std::error_code ec;
    const uid_t uid = getuid();
    for (std::filesystem::directory_iterator it(procRoot_, ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string pid = it->path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      struct stat st {};
      if (stat(it->path().c_str(), &st) != 0 || st.st_uid != uid) continue;
      // comm is cut at 15 bytes, so longer names are matched through argv[0].
      if (auto comm = readFile(it->path() / "comm")) {
        std::string_view text = *comm;
        if (text.ends_with('\n')) text.remove_suffix(1);
        if (text == name) return true;
      }
      if (auto cmdline = readFile(it->path() / "cmdline")) {
        if (programNameFromCmdline(*cmdline) == name) return true;
      }
    }
    return false;
  }

 private:
  std::string procRoot_;
};

// GVariant text form of a string, as gdbus parses its arguments. Quoted, it
// can never start with '-' and be taken for an option.
std::string gvariantString(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "'";
}

class LinuxDirectNotifier final : public DirectNotifier {
 public:
  LinuxDirectNotifier(LinuxPaths paths, ProcessRunner run)
      : paths_(std::move(paths)), run_(std::move(run)) {}

  void notify(const std::string& title, const std::string& body,
              const std::string& sound) override {
    ProcessInvocation invocation;
    if (environmentValue("DBUS_SESSION_BUS_ADDRESS").empty()) {
      std::string bus = runtimeDir(paths_) + "/bus";
      std::error_code ec;
      if (!std::filesystem::exists(bus, ec)) return;
      invocation.envAdditions.emplace_back("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus);
    }
    if (isExecutable(paths_.busctl)) {
      invocation.path = paths_.busctl;
      // "--" keeps a title that starts with '-' (and the -1 timeout) from
      // being read as an option.
      invocation.args = {"--user",
                         "--",
                         "call",
                         "org.freedesktop.Notifications",
                         "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications",
                         "Notify",
                         "susssasa{sv}i",
                         "Brimvale",
                         "0",
                         "",
                         title,
                         body,
                         "0"};
      if (sound.empty()) {
        invocation.args.push_back("0");
      } else {
        invocation.args.insert(invocation.args.end(), {"1", "sound-name", "s", sound});
      }
      invocation.args.push_back("-1");
    } else if (isExecutable(paths_.gdbus)) {
      invocation.path = paths_.gdbus;
      std::string hints =
          sound.empty() ? "@a{sv} {}" : "{'sound-name': <" + gvariantString(sound) + ">}";
      invocation.args = {"call",
                         "--session",
                         "--dest",
                         "org.freedesktop.Notifications",
                         "--object-path",
                         "/org/freedesktop/Notifications",
                         "--method",
                         "org.freedesktop.Notifications.Notify",
                         "'Brimvale'",
                         "uint32 0",
                         "''",
                         gvariantString(title),
                         gvariantString(body),
                         "@as []",
                         hints,
                         "int32 -1"};
    } else {
      return;
    }
    invocation.deadline = kNotifyDeadline;
    // Best effort: a notification that cannot be shown must not stop the
    // work that raised it.
    (void)run_(invocation);
  }

 private:
  LinuxPaths paths_;
  ProcessRunner run_;
};

class LinuxRsyncLocator final : public RsyncLocator {
 public:
  // /usr/bin/rsync comes last: here it is normally GNU rsync, but a newer
  // one installed by hand is preferred.
  std::vector<std::string> candidates() override {
    return {"/opt/homebrew/bin/rsync", "/usr/local/bin/rsync", "/usr/bin/rsync"};
  }
};

constexpr milliseconds kOpenScanBudget{3000};

class LinuxFileFacts final : public FileFacts {
 public:
  LinuxFileFacts(LinuxPaths paths, ProcessRunner run)
      : paths_(std::move(paths)), run_(std::move(run)) {
    if (paths_.opener.empty()) paths_.opener = findExecutable("xdg-open");
  }

  bool isOpen(const std::string& path) override {
    std::error_code ec;
    std::filesystem::path wanted = std::filesystem::canonical(path, ec);
    if (ec) wanted = path;
    const auto deadline = std::chrono::steady_clock::now() + kOpenScanBudget;
    auto refersToWanted = [&wanted](const std::filesystem::path& link) {
      std::error_code linkEc;
      auto target = std::filesystem::read_symlink(link, linkEc);
      return !linkEc && target == wanted;
    };
    for (std::filesystem::directory_iterator it(paths_.procRoot, ec), end; !ec && it != end;
         it.increment(ec)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      const std::string pid = it->path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (refersToWanted(it->path() / "cwd") || refersToWanted(it->path() / "exe")) return true;
      std::error_code fdEc;
      for (std::filesystem::directory_iterator fd(it->path() / "fd", fdEc), fdEnd;
           !fdEc && fd != fdEnd; fd.increment(fdEc)) {
        if (refersToWanted(fd->path())) return true;
      }
    }
    return false;
  }

  bool isDataless(const std::string&) override { return false; }

  std::string volumeUuid(const std::string& mountPath) override {
    if (!isExecutable(paths_.findmnt)) return {};
    auto out = outputOf(run_, paths_.findmnt, {"-n", "-o", "UUID", "--mountpoint", mountPath},
                        kIdleToolDeadline);
    if (!out) return {};
    auto lines = splitLines(*out);
    return lines.empty() ? std::string() : std::string(trimBlanks(lines.front()));
  }

  void revealFolder(const std::string& path) override {
    if (!isExecutable(paths_.opener)) return;
    (void)run_({.path = paths_.opener, .args = {path}, .deadline = kNotifyDeadline});
  }

 private:
  LinuxPaths paths_;
  ProcessRunner run_;
};

// No local snapshots are kept here, so there is none to count and no tool
// to look for.
class NoLocalSnapshots final : public LocalSnapshots {
 public:
  std::size_t count() override { return 0; }
};

}  // namespace

Platform makeLinuxPlatform(LinuxPaths paths) {
  Platform p;
  p.launcher = makePosixProcessLauncher();
  const ProcessRunner run = runnerOf(*p.launcher);
  p.mounts = std::make_unique<LinuxMountTable>(paths.procRoot);
  p.volumes = std::make_unique<LinuxVolumeMeter>();
  p.activity = std::make_unique<LinuxUserActivity>(paths, run);
  p.host = std::make_unique<LinuxHostIdentity>(paths.machineInfo);
  p.processes = std::make_unique<LinuxProcessTable>(paths.procRoot);
  p.notifier = std::make_unique<LinuxDirectNotifier>(paths, run);
  p.rsync = std::make_unique<LinuxRsyncLocator>();
  p.files = std::make_unique<LinuxFileFacts>(paths, run);
  p.drives = makeLinuxDriveTools(paths.drives, run);
  p.agents = makeLinuxServiceAgents(paths.drives.systemctl, run);
  // No eviction tools exist here (their paths stay missing), and no local
  // snapshots are kept that Brimvale could count.
  p.eviction = makeToolCloudEviction(paths.cloudTools, run);
  p.snapshots = std::make_unique<NoLocalSnapshots>();
  return p;
}

}  // namespace brimvale::platform
