// The audit of the service installation: five checks (state directory,
// service log, service program, service definition and job, liveness), each
// of which may repair what it finds and reports healthy, repaired or warned.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "app/host/service_installer.h"
#include "common/base/timestamps.h"
#include "common/state/paths.h"
#include "platform/service_manager.h"

namespace brimvale::app {

enum class CheckOutcome { kHealthy, kRepaired, kWarned };

struct CheckResult {
  std::string name;  // "State directory", "Daemon log file", ...
  CheckOutcome outcome = CheckOutcome::kHealthy;
  std::string detail;
};

struct SelfCheckReport {
  std::vector<CheckResult> checks;
  [[nodiscard]] bool needsAttention() const;
  // "Brimvale self-check: {warned names} needs attention", or "Brimvale
  // self-check: all healthy" / "Brimvale self-check: repaired {names}".
  [[nodiscard]] std::string summary() const;
  // One line per check, then the summary.
  [[nodiscard]] std::string text() const;
};

// Hours a running service may go without rewriting its status snapshot
// before it counts as wedged and is bounced. A watch tick that relocates a
// large folder can run long; hours keep such work from being cut short.
inline constexpr int kWedgedAfterHours = 3;

class SelfCheck {
 public:
  // `reportInLimit` is how long the service has to rewrite its snapshot
  // after a (re)start.
  SelfCheck(StatePaths paths, std::filesystem::path scriptsFolder, ServiceInstaller& installer,
            platform::ServiceManager& services, WallClock clock,
            std::chrono::milliseconds reportInLimit = std::chrono::seconds(5));

  // Runs the five checks in order, waiting for the service to report in
  // after any (re)start. The service-program verdict is cached for as long
  // as the installed file keeps its size and modification time.
  [[nodiscard]] SelfCheckReport run();

 private:
  CheckResult stateDirectory();
  CheckResult daemonLog();
  CheckResult serviceProgram(bool installed);
  // A definition deleted after installation is written again.
  CheckResult serviceJob(bool installed, bool definitionPresent);
  // Healthy only while the service runs and its snapshot is recent.
  CheckResult liveness(bool installed);
  bool programIsValid();

  StatePaths paths_;
  std::filesystem::path scriptsFolder_;
  ServiceInstaller& installer_;
  platform::ServiceManager& services_;
  WallClock clock_;
  std::chrono::milliseconds reportInLimit_;
  std::optional<std::time_t> restartedAt_;
  std::optional<std::pair<std::uintmax_t, std::filesystem::file_time_type>> validProgram_;
};

}  // namespace brimvale::app
