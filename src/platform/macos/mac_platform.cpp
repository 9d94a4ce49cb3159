#include "platform/macos/mac_platform.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "common/base/process.h"
#include "platform/macos/mac_drives.h"
#include "platform/macos/mac_tool_output.h"
#include "platform/posix_process_launcher.h"

namespace brimvale::platform {
namespace {

using std::chrono::milliseconds;

// diskutil can take several seconds while a disk spins up; the rest answer at once.
constexpr milliseconds kSlowToolDeadline{15000};
constexpr milliseconds kToolDeadline{5000};

std::optional<std::string> toolOutput(const ProcessRunner& run, const std::string& path,
                                      std::vector<std::string> args,
                                      milliseconds deadline = kToolDeadline) {
  return outputOf(run, path, std::move(args), deadline);
}

class MacMountTable final : public MountTable {
 public:
  MacMountTable(std::string mount, ProcessRunner run)
      : mount_(std::move(mount)), run_(std::move(run)) {}
  bool isMountedAt(const std::string& path) override {
    auto out = toolOutput(run_, mount_, {});
    return out && mountOutputHasMountPoint(*out, path);
  }

 private:
  std::string mount_;
  ProcessRunner run_;
};

class MacVolumeMeter final : public VolumeMeter {
 public:
  MacVolumeMeter(std::string diskutil, std::string df, ProcessRunner run)
      : diskutil_(std::move(diskutil)), df_(std::move(df)), run_(std::move(run)) {}

  VolumeSpace measure(const std::string& path) override {
    VolumeSpace space;
    std::optional<DfKilobytes> df;
    if (auto out = toolOutput(run_, df_, {"-k", path})) df = parseDfKilobytes(*out);
    if (df) space.totalBytes = df->totalKiB * 1024;

    std::optional<std::uint64_t> important;
    if (auto out = toolOutput(run_, diskutil_, {"info", path}, kSlowToolDeadline)) {
      important = parseDiskutilFreeBytes(*out);
    }
    if (important && *important > 0) {
      space.freeBytes = *important;
    } else if (df) {
      space.freeBytes = df->availableKiB * 1024;
    }
    return space;
  }

 private:
  std::string diskutil_;
  std::string df_;
  ProcessRunner run_;
};

class MacUserActivity final : public UserActivity {
 public:
  MacUserActivity(std::string ioreg, std::string pmset, ProcessRunner run)
      : ioreg_(std::move(ioreg)), pmset_(std::move(pmset)), run_(std::move(run)) {}

  std::uint64_t idleSeconds() override {
    auto out = toolOutput(run_, ioreg_, {"-c", "IOHIDSystem"});
    return out ? parseHidIdleSeconds(*out) : 0;
  }

  PowerState power() override {
    PowerState state;
    if (auto out = toolOutput(run_, pmset_, {"-g", "batt"})) {
      state.onBattery = pmsetOnBattery(*out);
      state.batteryPercent = parsePmsetBatteryPercent(*out);
    }
    return state;
  }

 private:
  std::string ioreg_;
  std::string pmset_;
  ProcessRunner run_;
};

class MacHostIdentity final : public HostIdentity {
 public:
  MacHostIdentity(std::string scutil, std::string hostname, ProcessRunner run)
      : scutil_(std::move(scutil)), hostname_(std::move(hostname)), run_(std::move(run)) {}

  std::string computerName() override {
    if (auto out = toolOutput(run_, scutil_, {"--get", "ComputerName"})) {
      std::string name = withoutTrailingNewlines(*out);
      if (!name.empty()) return name;
    }
    auto out = toolOutput(run_, hostname_, {"-s"});
    return out ? withoutTrailingNewlines(*out) : std::string();
  }

 private:
  std::string scutil_;
  std::string hostname_;
  ProcessRunner run_;
};

class MacProcessTable final : public ProcessTable {
 public:
  MacProcessTable(std::string pgrep, ProcessRunner run)
      : pgrep_(std::move(pgrep)), run_(std::move(run)) {}

  bool isRunning(std::string_view name) override {
    // Limited to this user: another user's copy of a program does not act
    // for this one (for example, it does not drain this user's queue).
    return toolOutput(run_, pgrep_, {"-x", "-U", std::to_string(getuid()), std::string(name)})
        .has_value();
  }

 private:
  std::string pgrep_;
  ProcessRunner run_;
};

class MacDirectNotifier final : public DirectNotifier {
 public:
  MacDirectNotifier(std::string osascript, ProcessRunner run)
      : osascript_(std::move(osascript)), run_(std::move(run)) {}

  void notify(const std::string& title, const std::string& body,
              const std::string& sound) override {
    // Best effort: a notification that cannot be shown must not stop the
    // work that raised it.
    (void)toolOutput(run_, osascript_, {"-e", notificationScript(title, body, sound)});
  }

 private:
  std::string osascript_;
  ProcessRunner run_;
};

class MacRsyncLocator final : public RsyncLocator {
 public:
  // /usr/bin/rsync is openrsync on current macOS, never a GNU candidate.
  std::vector<std::string> candidates() override {
    return {"/opt/homebrew/bin/rsync", "/usr/local/bin/rsync"};
  }
};

// lsof can hang on a stale network mount; past this it counts as "not open".
constexpr milliseconds kPlatformLsofDeadline{3000};

class MacFileFacts final : public FileFacts {
 public:
  MacFileFacts(MacToolPaths tools, ProcessRunner run)
      : tools_(std::move(tools)), run_(std::move(run)) {}

  bool isOpen(const std::string& path) override {
    // lsof exits 1 when nothing holds the path, so its output decides; a
    // line printed before the deadline killed it still counts.
    ProcessResult result = run_({.path = tools_.lsof,
                                 .args = {"--", path},
                                 .deadline = kPlatformLsofDeadline,
                                 .killGrace = milliseconds(200)});
    return !result.out.empty();
  }

  bool isDataless(const std::string& path) override {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) return false;
    auto out = toolOutput(run_, tools_.stat, {"-f", "%Sf", path});
    return out && statFlagsIncludeDataless(*out);
  }

  std::string volumeUuid(const std::string& mountPath) override {
    auto out = toolOutput(run_, tools_.diskutil, {"info", mountPath}, kSlowToolDeadline);
    return out ? parseDiskutilVolumeUuid(*out) : std::string();
  }

  void revealFolder(const std::string& path) override {
    (void)toolOutput(run_, tools_.open, {path});
  }

 private:
  MacToolPaths tools_;
  ProcessRunner run_;
};

}  // namespace

Platform makeMacPlatform(MacToolPaths tools) {
  Platform p;
  p.launcher = makePosixProcessLauncher();
  const ProcessRunner run = runnerOf(*p.launcher);
  p.mounts = std::make_unique<MacMountTable>(tools.mount, run);
  p.volumes = std::make_unique<MacVolumeMeter>(tools.diskutil, tools.df, run);
  p.activity = std::make_unique<MacUserActivity>(tools.ioreg, tools.pmset, run);
  p.host = std::make_unique<MacHostIdentity>(tools.scutil, tools.hostname, run);
  p.processes = std::make_unique<MacProcessTable>(tools.pgrep, run);
  p.notifier = std::make_unique<MacDirectNotifier>(tools.osascript, run);
  p.rsync = std::make_unique<MacRsyncLocator>();
  p.files = std::make_unique<MacFileFacts>(tools, run);
  p.drives = makeMacDriveTools(tools, run);
  p.agents = makeMacServiceAgents(tools, run);
  p.eviction = makeToolCloudEviction(tools.cloudTools, run);
  p.snapshots = makeToolLocalSnapshots(tools.cloudTools.tmutil, run);
  return p;
}

}  // namespace brimvale::platform
