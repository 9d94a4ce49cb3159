// The operating-system facilities the service and the application use, as
// small interfaces with one backend per platform (linux/ runs here; macos/
// runs the system's tools by absolute path and parses their output).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/process.h"
#include "common/base/spawn.h"
#include "platform/cloud_tools.h"

namespace brimvale::platform {

// Is a volume mounted on exactly this path (not merely a folder below a mount)?
class MountTable {
 public:
  virtual ~MountTable() = default;
  [[nodiscard]] virtual bool isMountedAt(const std::string& path) = 0;
};

struct VolumeSpace {
  // Free bytes as the system's storage views count them (on macOS the
  // "important usage" figure, which includes purgeable space).
  std::uint64_t freeBytes = 0;
  std::uint64_t totalBytes = 0;
};

// Measures the volume holding `path`. A measurement that fails gives zeros,
// never an error: measurements must not stop the work that asked for them.
class VolumeMeter {
 public:
  virtual ~VolumeMeter() = default;
  [[nodiscard]] virtual VolumeSpace measure(const std::string& path) = 0;
};

struct PowerState {
  bool onBattery = false;
  int batteryPercent = 100;  // 100 without a battery, so a desktop is never "low"
};

// What the quiet gate needs to know about the person at the machine.
class UserActivity {
 public:
  virtual ~UserActivity() = default;
  // Seconds since the last keyboard or pointer input; 0 when unknown.
  [[nodiscard]] virtual std::uint64_t idleSeconds() = 0;
  [[nodiscard]] virtual PowerState power() = 0;
};

class HostIdentity {
 public:
  virtual ~HostIdentity() = default;
  // The user-visible computer name before the working-folder name rule; may
  // be empty when the system has none.
  [[nodiscard]] virtual std::string computerName() = 0;
};

// The application's process name: it drains the notification queue while it
// runs. The bundle's executable is "Brimvale"; the Linux build's is "brimvale".
#ifdef __APPLE__
inline constexpr std::string_view kApplicationProcessName = "Brimvale";
#else
inline constexpr std::string_view kApplicationProcessName = "brimvale";
#endif

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // True when a process whose name is exactly `name` runs for this user.
  [[nodiscard]] virtual bool isRunning(std::string_view name) = 0;
};

// Who a running process is beyond its pid, so that a pid recorded earlier is
// never taken for the process the system has since given that pid to.
struct ProcessIdentity {
  // Differs between two processes that held the same pid (the start time).
  std::string start;
  std::uint32_t user = 0;  // the user it runs as
  bool operator==(const ProcessIdentity&) const = default;
};

// What a detached child does: it reports once (the caller gets that text
// back) and may go on running after it has reported.
using DetachedWork = std::function<void(const std::function<void(std::string_view)>& report)>;

// Starts child processes and watches and signals them, so code that runs
// programs can be tested without starting any.
class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Runs a program to completion (or its deadline), as runProcess describes.
  [[nodiscard]] virtual ProcessResult run(const ProcessInvocation& invocation) = 0;
  [[nodiscard]] virtual Result<SpawnedProcess> spawn(const SpawnRequest& request) = 0;
  // Runs `work` in a forked child that outlives the caller: in a session of
  // its own, adopted by init (nothing is left to reap), its standard streams
  // on /dev/null. Returns what it reported, empty when it ended without a
  // report. The child does not exec: start it before any other thread runs.
  [[nodiscard]] virtual Result<std::string> startDetached(const DetachedWork& work) = 0;
  // True while `pid` runs; an ended process its parent has not reaped yet
  // does not count.
  [[nodiscard]] virtual bool isAlive(int pid) = 0;
  // True while `pid` runs and its command line starts with `program` (or
  // names it second, for a script run by its interpreter): a recorded pid
  // the system has since given to another program is never taken for ours.
  [[nodiscard]] virtual bool runsProgram(int pid, const std::string& program) = 0;
  // Nothing when `pid` does not run (an unreaped ended child included) or
  // the system cannot say who it is.
  [[nodiscard]] virtual std::optional<ProcessIdentity> identity(int pid) = 0;
  // Sends `signal` to `pid`; false when it could not be delivered.
  virtual bool signal(int pid, int signal) = 0;
  // For an attached child of this process: its exit code once it has ended
  // (and is reaped), -1 when a signal ended it; nothing while it runs.
  [[nodiscard]] virtual std::optional<int> exitCodeIfEnded(int pid) = 0;
};

// The launcher's run as a ProcessRunner, for code that cannot see the
// platform; `launcher` must outlive it.
[[nodiscard]] inline ProcessRunner runnerOf(ProcessLauncher& launcher) {
  return [&launcher](const ProcessInvocation& invocation) { return launcher.run(invocation); };
}

// The service's own last-resort notification, used only while the
// application (which owns the notification queue) is not running. Failures
// are ignored.
class DirectNotifier {
 public:
  virtual ~DirectNotifier() = default;
  virtual void notify(const std::string& title, const std::string& body,
                      const std::string& sound) = 0;
};

// GNU rsync candidates in the order they are tried, after the RSYNC variable.
class RsyncLocator {
 public:
  virtual ~RsyncLocator() = default;
  [[nodiscard]] virtual std::vector<std::string> candidates() = 0;
};

// What the relocation guards and the drive tools ask about files and volumes.
class FileFacts {
 public:
  virtual ~FileFacts() = default;
  // True when some process holds `path` itself open (never a scan of its
  // subtree). Bounded at about 3 s; a check that ends without an answer
  // counts as not open.
  [[nodiscard]] virtual bool isOpen(const std::string& path) = 0;
  // True for a cloud-only placeholder (the macOS `dataless` file flag);
  // always false where no such flag exists.
  [[nodiscard]] virtual bool isDataless(const std::string& path) = 0;
  // The UUID of the volume mounted at `mountPath`; empty when unknown.
  [[nodiscard]] virtual std::string volumeUuid(const std::string& mountPath) = 0;
  // Shows a folder in the desktop's file browser, when there is one. Best effort.
  virtual void revealFolder(const std::string& path) = 0;
};

// What the drive windows show about the volume holding a path; text fields
// are empty and sizes 0 when unknown.
struct DriveInfo {
  std::string filesystem;  // "APFS", "ExFAT", "MS-DOS FAT32", "SMB", "ext4", ...
  std::string protocol;    // "USB", "Thunderbolt", "SMB", "NFS", ...
  std::string removable;   // "Removable" or "Fixed"
  std::string location;    // "Internal", "External", or empty (no local disk)
  std::string device;      // "disk5s1", "sdb1"
  std::string uuid;        // volume UUID
  std::uint64_t freeMiB = 0;
  std::uint64_t totalMiB = 0;
};

// Finding, describing, mounting and ejecting drives. Tool failures never
// throw: they give empty facts, or an error carrying the tool's output.
class DriveTools {
 public:
  virtual ~DriveTools() = default;
  [[nodiscard]] virtual DriveInfo info(const std::string& path) = 0;
  // Existing folders whose subfolders are mounted volumes, /Volumes first.
  [[nodiscard]] virtual std::vector<std::string> volumeFolders() = 0;
  // Asks the system to mount the volume with this UUID (skipped when
  // empty), then the one named `name`, at `mountPath` where the platform
  // lets the caller choose. Failures are ignored: the caller checks the mount.
  virtual void mountVolume(const std::string& uuid, const std::string& name,
                           const std::string& mountPath) = 0;
  // Unmounts (and ejects) the volume; the tool's report, or its output as detail.
  [[nodiscard]] virtual Result<std::string> eject(const std::string& path) = 0;
  // Asks a running application to quit; false where the platform cannot ask
  // or the request failed.
  [[nodiscard]] virtual bool askToQuit(const std::string& app) = 0;
  // The processes holding files below `path`, as `lsof +D` lists them.
  [[nodiscard]] virtual std::string openFilesBelow(const std::string& path) = 0;
};

// The per-user service manager, asked whether an agent is loaded (launchd
// on macOS, systemd --user here); false when the manager cannot be asked.
class ServiceAgents {
 public:
  virtual ~ServiceAgents() = default;
  [[nodiscard]] virtual bool isLoaded(const std::string& label) = 0;
};

// The facilities of one platform, owned together. The launcher comes first:
// the others run their tools through it, so it must outlive them.
struct Platform {
  std::unique_ptr<ProcessLauncher> launcher;
  std::unique_ptr<MountTable> mounts;
  std::unique_ptr<VolumeMeter> volumes;
  std::unique_ptr<UserActivity> activity;
  std::unique_ptr<HostIdentity> host;
  std::unique_ptr<ProcessTable> processes;
  std::unique_ptr<DirectNotifier> notifier;
  std::unique_ptr<RsyncLocator> rsync;
  std::unique_ptr<FileFacts> files;
  std::unique_ptr<DriveTools> drives;
  std::unique_ptr<ServiceAgents> agents;
  std::unique_ptr<CloudEviction> eviction;
  std::unique_ptr<LocalSnapshots> snapshots;
};

// The backend of the platform this program was built for.
[[nodiscard]] Platform makeHostPlatform();

}  // namespace brimvale::platform
