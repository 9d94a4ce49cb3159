// The per-user service manager that runs the background service only while
// the application runs: a definition that never starts at login nor restarts,
// and load / unload / kickstart / state with launchd's meanings.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/error.h"
#include "common/base/process.h"

namespace brimvale::platform {

inline constexpr std::string_view kServiceLabel = "com.brimvale.service";

struct ServiceDefinition {
  std::vector<std::string> programArguments;  // absolute program path first
  std::filesystem::path logFile;              // standard output and error
  std::vector<std::pair<std::string, std::string>> environment;
};

struct ServiceJobState {
  bool loaded = false;
  std::optional<int> pid;             // while running
  std::optional<int> lastExitStatus;  // after a run ended
};

// Loaded = known to the manager; kickstart = start now, ending a running
// copy first.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  [[nodiscard]] virtual std::filesystem::path definitionPath() const = 0;
  // Writes the definition atomically (RunAtLoad and KeepAlive false).
  [[nodiscard]] virtual Result<void> writeDefinition(const ServiceDefinition& definition) = 0;
  // True when an installed definition still asks to start at load or to be
  // kept alive (an older installation); false when none is installed.
  [[nodiscard]] virtual bool definitionIsOutdated() = 0;
  // Errc::kToolFailed with the manager's output as detail on failure.
  [[nodiscard]] virtual Result<void> load() = 0;
  // Stops the service and forgets the job, giving up after `limit`
  // (Errc::kTimedOut); unloading what is not loaded succeeds.
  [[nodiscard]] virtual Result<void> unload(std::chrono::milliseconds limit) = 0;
  // Errc::kToolFailed whose detail starts with the exit code on failure.
  [[nodiscard]] virtual Result<void> kickstart() = 0;
  [[nodiscard]] virtual ServiceJobState state() = 0;
  // False where a service started now would be left running with nothing to
  // look after it: the application's own supervision, used by a one-shot
  // command that ends at once.
  [[nodiscard]] virtual bool keepsServiceManaged() const { return true; }
};

// macOS: ~/Library/LaunchAgents/com.brimvale.service.plist written with
// libplist, driven by launchctl (load, unload, kickstart -k gui/{uid}/...,
// list). `launchctl` is injectable for tests.
[[nodiscard]] std::unique_ptr<ServiceManager> makeLaunchAgentManager(std::filesystem::path home,
                                                                     std::string launchctl,
                                                                     unsigned uid,
                                                                     ProcessRunner run);

// Whether a service this process starts may outlive it: the one-shot
// installer leaves it running; the running application takes it along when
// it ends, however it ends.
enum class ServiceOwnership { kOutlivesCaller, kEndsWithCaller };

// Linux without a user service manager: the application supervises the
// service itself. The definition is JSON in {stateDir}/service-definition.json;
// load marks the job loaded ({stateDir}/service.loaded); kickstart starts the
// program in its own session with output appended to the log file and its
// pid in {stateDir}/brim-vale.pid (ending a running copy first); unload ends
// it (SIGTERM, then SIGKILL shortly before `limit`) and clears the marks.
// How the last copy ended is kept in {stateDir}/brim-vale.exit as "{pid}
// {status}": a copy that outlives its starter is watched by a supervisor of
// its own that writes it, one bound to this process is reaped here. state()
// reports it only for the copy last started, whoever asks. With
// kEndsWithCaller the service gets SIGTERM when the thread that started it ends.
[[nodiscard]] std::unique_ptr<ServiceManager> makeSupervisedServiceManager(
    std::filesystem::path stateDir, ServiceOwnership ownership = ServiceOwnership::kOutlivesCaller);

// Linux with a running user manager: the unit
// ~/.config/systemd/user/brimvale-service.service (no [Install] section,
// Restart=no, RestartSec=30), driven by `systemctl --user`: load = daemon-reload, kickstart =
// restart, unload = stop, state from `show`. `systemctl` is injectable.
[[nodiscard]] std::unique_ptr<ServiceManager> makeSystemdUserServiceManager(
    std::filesystem::path home, std::string systemctl, ProcessRunner run);

// True when this user's systemd manager runs ({runtimeDir}/systemd/private).
[[nodiscard]] bool userSystemdRuns(const std::string& runtimeDir);

inline constexpr std::string_view kSystemdUnitName = "brimvale-service.service";

// The unit file for a definition. Arguments and values are quoted for
// systemd ("..." with \ and \" escaped, % doubled, $ doubled), so any path
// is safe.
[[nodiscard]] std::string systemdUnitText(const ServiceDefinition& definition);
// From `systemctl --user show --property=LoadState,MainPID,ExecMainStatus,
// ExecMainCode`: loaded, the pid while running, the last exit status.
[[nodiscard]] ServiceJobState parseSystemctlShow(std::string_view output);
// True for a unit that would start at login or be restarted.
[[nodiscard]] bool systemdUnitRequestsAutostart(std::string_view unitText);

// What `launchctl list {label}` says about a job.
struct LaunchctlListing {
  std::optional<int> pid;
  std::optional<int> lastExitStatus;
};
[[nodiscard]] LaunchctlListing parseLaunchctlList(std::string_view output);

// The property list XML for a definition, and whether a property list (XML
// or binary) asks for RunAtLoad or KeepAlive. Unreadable data is not outdated.
[[nodiscard]] std::string launchAgentPlistXml(const ServiceDefinition& definition);
[[nodiscard]] bool plistRequestsAutostart(std::string_view plistData);

}  // namespace brimvale::platform
