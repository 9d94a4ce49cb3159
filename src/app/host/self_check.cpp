#include "app/host/self_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/state/service_log.h"

namespace brimvale::app {
namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds kProgramProbeLimit{10};
constexpr std::size_t kLogTailLines = 10;

std::optional<std::time_t> modifiedAt(const fs::path& p) {
  struct stat st {};
  if (stat(p.c_str(), &st) != 0) return std::nullopt;
  return st.st_mtime;
}

// How a job that should be running was found, for "{this}, now running".
std::string describeStopped(const platform::ServiceJobState& job) {
  if (!job.loaded) return "was unloaded";
  if (!job.lastExitStatus) return "was not running";
  if (*job.lastExitStatus == 0) return "had stopped (exit=0)";
  return "was crashed (exit=" + std::to_string(*job.lastExitStatus) + ")";
}

std::string describe(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::kHealthy: return "healthy";
    case CheckOutcome::kRepaired: return "repaired";
    case CheckOutcome::kWarned: return "needs attention";
  }
  return {};
}

}  // namespace

bool SelfCheckReport::needsAttention() const {
  return std::any_of(checks.begin(), checks.end(),
                     [](const auto& c) { return c.outcome == CheckOutcome::kWarned; });
}

std::string SelfCheckReport::summary() const {
  auto names = [&](CheckOutcome outcome) {
    std::string out;
    for (const auto& c : checks) {
      if (c.outcome != outcome) continue;
      out += (out.empty() ? "" : ", ") + c.name;
    }
    return out;
  };
  if (needsAttention())
    return "Brimvale self-check: " + names(CheckOutcome::kWarned) + " needs attention";
  std::string repaired = names(CheckOutcome::kRepaired);
  return repaired.empty() ? "Brimvale self-check: all healthy"
                          : "Brimvale self-check: repaired " + repaired;
}

std::string SelfCheckReport::text() const {
  std::string out;
  for (const auto& c : checks) out += c.name + ": " + describe(c.outcome) + " — " + c.detail + "\n";
  return out + summary() + "\n";
}

SelfCheck::SelfCheck(StatePaths paths, fs::path scriptsFolder, ServiceInstaller& installer,
                     platform::ServiceManager& services, WallClock clock,
                     std::chrono::milliseconds reportInLimit)
    : paths_(std::move(paths)),
      scriptsFolder_(std::move(scriptsFolder)),
      installer_(installer),
      services_(services),
      clock_(std::move(clock)),
      reportInLimit_(reportInLimit) {}

SelfCheckReport SelfCheck::run() {
  restartedAt_.reset();
  const bool programInstalled = pathExists(paths_.serviceProgram).value_or(false);
  const bool definitionInstalled = pathExists(services_.definitionPath()).value_or(false);
  SelfCheckReport report;
  report.checks.push_back(stateDirectory());
  report.checks.push_back(daemonLog());
  // Either half in place means the installation ran; what is missing is repaired.
  const bool installed = programInstalled || definitionInstalled;
  report.checks.push_back(serviceProgram(installed));
  report.checks.push_back(serviceJob(installed, definitionInstalled));
  report.checks.push_back(liveness(installed));
  return report;
}

CheckResult SelfCheck::stateDirectory() {
  CheckResult r{"State directory", CheckOutcome::kHealthy, "present + writeable"};
  for (const fs::path& dir : {paths_.root, paths_.state}) {
    if (access(dir.c_str(), W_OK | X_OK) == 0) continue;
    // Whether the repair worked is judged by the access check just below.
    const DiagnosticsLog diagnostics(paths_.diagnosticsLog, clock_);
    bestEffort(createDirectories(dir), diagnostics, "recreating a state folder");
    bestEffort(setPermissions(dir, fs::perms::owner_all), diagnostics,
               "making a state folder private");
    if (access(dir.c_str(), W_OK | X_OK) != 0)
      return {r.name, CheckOutcome::kWarned, "couldn't recreate " + dir.string()};
    r = {r.name, CheckOutcome::kRepaired, "recreated " + dir.string()};
  }
  return r;
}

CheckResult SelfCheck::daemonLog() {
  if (pathExists(paths_.log).value_or(false))
    return {"Daemon log file", CheckOutcome::kHealthy, "present"};
  if (!touchFile(paths_.log)) {
    return {"Daemon log file", CheckOutcome::kWarned, "couldn't create " + paths_.log.string()};
  }
  return {"Daemon log file", CheckOutcome::kRepaired, "created " + paths_.log.string()};
}

bool SelfCheck::programIsValid() {
  const auto size = fileSize(paths_.serviceProgram);
  const auto time = lastWriteTime(paths_.serviceProgram);
  if (!size || !time) return false;
  if (validProgram_ && validProgram_->first == *size && validProgram_->second == *time) return true;
  if (access(paths_.serviceProgram.c_str(), X_OK) != 0) return false;
  ProcessResult probe = installer_.runner()({.path = paths_.serviceProgram.string(),
                                             .args = {"help"},
                                             .envAdditions = {{"HOME", paths_.home.string()}},
                                             .deadline = kProgramProbeLimit});
  if (!probe.succeeded() || probe.out.find("brim-vale") == std::string::npos) return false;
  validProgram_.emplace(*size, *time);
  return true;
}

CheckResult SelfCheck::serviceProgram(bool installed) {
  const std::string name = "Service program";
  if (!installed) return {name, CheckOutcome::kWarned, "not installed yet (wizard hasn't run)"};
  if (programIsValid()) return {name, CheckOutcome::kHealthy, "valid and runnable"};
  auto copied = installer_.copyServicePrograms();
  if (!copied)
    return {name, CheckOutcome::kWarned, "couldn't write daemon script: " + copied.error().detail};
  bestEffort(installer_.loadAndKickstart(), DiagnosticsLog(paths_.diagnosticsLog, clock_),
             "restarting the service after repairing it");
  restartedAt_ = clock_();
  return {name, CheckOutcome::kRepaired,
          "re-deployed brim-vale.sh from " + scriptsFolder_.string() + " and reloaded " +
              std::string(kHostWords.userService)};
}

CheckResult SelfCheck::serviceJob(bool installed, bool definitionPresent) {
  const std::string name = capitalised(kHostWords.userService);
  if (!installed) {
    return {name, CheckOutcome::kWarned,
            std::string(kHostWords.serviceDefinition) + " not installed (wizard hasn't run)"};
  }
  std::string was;
  if (definitionPresent) {
    platform::ServiceJobState job = services_.state();
    // The application keeps the service running while it is loaded, so a
    // loaded job without a process has ended, however cleanly.
    if (job.loaded && job.pid) return {name, CheckOutcome::kHealthy, "loaded, last exit clean"};
    was = describeStopped(job);
  } else {
    if (auto written = services_.writeDefinition(installer_.definition()); !written) {
      return {name, CheckOutcome::kWarned,
              "couldn't rewrite " + services_.definitionPath().string() + " (" +
                  written.error().detail + ")"};
    }
    was = std::string(kHostWords.serviceDefinition) + " was missing, rewrote it";
  }
  if (auto reloaded = installer_.loadAndKickstart(); !reloaded) {
    return {name, CheckOutcome::kWarned,
            "couldn't reload " + std::string(kHostWords.userService) + " (" +
                reloaded.error().detail + ")"};
  }
  restartedAt_ = clock_();
  return {name, CheckOutcome::kRepaired, was + ", now running"};
}

CheckResult SelfCheck::liveness(bool installed) {
  const std::string name = "Daemon liveness";
  if (!installed) return {name, CheckOutcome::kWarned, "not installed yet (wizard hasn't run)"};
  std::string note;
  const std::time_t now = clock_();
  if (!restartedAt_) {
    const bool running = services_.state().pid.has_value();
    const auto written = modifiedAt(paths_.statusJson);
    const std::time_t age = written ? now - *written : 0;
    if (running && written && age <= kWedgedAfterHours * 3600)
      return {name, CheckOutcome::kHealthy, "reporting"};
    const DiagnosticsLog diagnostics(paths_.diagnosticsLog, clock_);
    if (running && written) {
      bestEffort(installer_.loadAndKickstart(), diagnostics, "restarting a wedged service");
      note = "snapshot stale (" + std::to_string(age / 3600) + "h old) — bounced " +
             std::string(kHostWords.userService) + " to unwedge";
    } else {
      bestEffort(services_.kickstart(), diagnostics, "starting the service");
    }
    restartedAt_ = now;
  }
  const auto until = std::chrono::steady_clock::now() + reportInLimit_;
  for (;;) {
    auto written = modifiedAt(paths_.statusJson);
    if (written && *written >= *restartedAt_) {
      return {name, note.empty() ? CheckOutcome::kHealthy : CheckOutcome::kRepaired,
              note.empty() ? "reported in after the restart" : note};
    }
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::string tail;
  for (const auto& line : lastLogLines(paths_.log, kLogTailLines)) tail += line + "\n";
  return {
      name, CheckOutcome::kWarned,
      "started the background service but it didn't report in within 5 seconds. Last log lines: " +
          tail + std::string(kHostWords.logViewerHint) +
          "`~/.brimvale/brim-vale.log` for details."};
}

}  // namespace brimvale::app
