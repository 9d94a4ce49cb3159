#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/spawn.h"
#include "platform/posix_process_launcher.h"
#include "platform/service_manager.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollStep{50};
constexpr std::chrono::milliseconds kRestartLimit{5000};
// launchctl's status for a job it does not know.
constexpr int kNotLoadedStatus = 113;

std::optional<json> readJson(const fs::path& path) {
  auto text = readFile(path);
  if (!text) return std::nullopt;
  json doc = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  return doc;
}

std::optional<int> readNumber(const fs::path& path) {
  auto text = readFile(path);
  if (!text) return std::nullopt;
  try {
    return std::stoi(*text);
  } catch (...) {
    return std::nullopt;
  }
}

// The exit file: "{pid} {status}", written by whoever reaped the service.
struct ExitRecord {
  int pid = 0;
  int status = 0;
};

std::optional<ExitRecord> readExitRecord(const fs::path& path) {
  auto text = readFile(path);
  if (!text) return std::nullopt;
  ExitRecord r;
  if (std::sscanf(text->c_str(), "%d %d", &r.pid, &r.status) != 2) return std::nullopt;
  return r;
}

class SupervisedServiceManager final : public ServiceManager {
 public:
  SupervisedServiceManager(fs::path stateDir, ServiceOwnership ownership)
      : ownership_(ownership),
        definition_(stateDir / "service-definition.json"),
        loaded_(stateDir / "service.loaded"),
        pidFile_(stateDir / "brim-vale.pid"),
        exitFile_(stateDir / "brim-vale.exit") {}

  fs::path definitionPath() const override { return definition_; }

  Result<void> writeDefinition(const ServiceDefinition& d) override {
    json env = json::object();
    for (const auto& [k, v] : d.environment) env[k] = v;
    json doc = {{"label", kServiceLabel},
                {"programArguments", d.programArguments},
                {"standardOutPath", d.logFile.string()},
                {"standardErrorPath", d.logFile.string()},
                {"environmentVariables", env},
                {"runAtLoad", false},
                {"keepAlive", false},
                // Seconds between an exit and a restart, should a restart policy ever be set by
                // hand; as in the systemd unit, nothing here restarts the service by itself.
                {"throttleInterval", 30}};
    std::error_code ec;
    fs::create_directories(definition_.parent_path(), ec);
    return writeFileAtomically(definition_, doc.dump(2) + "\n");
  }

  bool definitionIsOutdated() override {
    auto doc = readJson(definition_);
    if (!doc) return false;
    auto isTrue = [&](const char* key) {
      auto it = doc->find(key);
      return it != doc->end() && it->is_boolean() && it->get<bool>();
    };
    return isTrue("runAtLoad") || isTrue("keepAlive");
  }

  Result<void> load() override {
    if (!readJson(definition_)) {
      return fail(Errc::kToolFailed,
                  "The service could not be loaded:\nno readable service definition at " +
                      definition_.string());
    }
    return touchFile(loaded_);
  }

  Result<void> unload(std::chrono::milliseconds limit) override {
    auto stopped = stopRunning(limit);
    std::error_code ec;
    fs::remove(loaded_, ec);
    if (!stopped) return stopped;
    fs::remove(pidFile_, ec);
    return {};
  }

  Result<void> kickstart() override {
    std::error_code ec;
    if (!fs::exists(loaded_, ec)) {
      return fail(Errc::kToolFailed,
                  std::to_string(kNotLoadedStatus) + " the service is not loaded");
    }
    auto doc = readJson(definition_);
    if (!doc) return fail(Errc::kToolFailed, "1 no readable service definition");
    if (auto stopped = stopRunning(kRestartLimit); !stopped) {
      return fail(Errc::kToolFailed, "1 the running service did not stop");
    }
    return spawn(*doc);
  }

  bool keepsServiceManaged() const override {
    return ownership_ == ServiceOwnership::kEndsWithCaller;
  }

  ServiceJobState state() override {
    reap();
    ServiceJobState s;
    std::error_code ec;
    s.loaded = fs::exists(loaded_, ec);
    s.pid = runningPid();
    if (s.pid) return s;
    // Only the ending of the copy last started counts; a record left by an
    // older copy says nothing about this one.
    auto started = readNumber(pidFile_);
    auto ended = readExitRecord(exitFile_);
    if (ended && (!started || ended->pid == *started)) s.lastExitStatus = ended->status;
    return s;
  }

 private:
  // The pid in the pid file while that process is alive and still runs the
  // defined program (a reused pid is never signalled).
  std::optional<int> runningPid() {
    reap();
    auto pid = readNumber(pidFile_);
    if (!pid || *pid <= 1) return std::nullopt;
    // Our own unreaped child: between fork and exec it still shows this
    // program's command line.
    if (*pid == child_) return pid;
    auto doc = readJson(definition_);
    if (!doc || !(*doc)["programArguments"].is_array() || (*doc)["programArguments"].empty()) {
      return std::nullopt;
    }
    const std::string program = (*doc)["programArguments"][0].get<std::string>();
    const fs::path proc = "/proc/" + std::to_string(*pid);
    auto stat = readFile(proc / "stat");
    if (!stat) return std::nullopt;
    // "pid (comm) S ...": the state letter follows the last ')'.
    auto close = stat->rfind(')');
    if (close == std::string::npos || close + 2 >= stat->size() || (*stat)[close + 2] == 'Z') {
      return std::nullopt;
    }
    auto cmdline = readFile(proc / "cmdline");
    if (!cmdline) return std::nullopt;
    if (!commandLineNames(*cmdline, program)) return std::nullopt;
    return pid;
  }

  void reap() {
    if (child_ <= 0) return;
    int status = 0;
    if (waitpid(child_, &status, WNOHANG) != child_) return;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    (void)writeFileAtomically(exitFile_,
                              std::to_string(child_) + " " + std::to_string(code) + "\n");
    child_ = -1;
  }

  Result<void> stopRunning(std::chrono::milliseconds limit) {
    auto pid = runningPid();
    if (!pid) return {};
    const auto start = SteadyClock::now();
    const auto killAt = start + limit - std::chrono::milliseconds(500);
    // The service runs in its own process group: its rsync children end too.
    // The pid itself is signalled as well, for a child just forked that has
    // not made its group yet.
    kill(-*pid, SIGTERM);
    kill(*pid, SIGTERM);
    bool killed = false;
    while (runningPid()) {
      if (!killed && SteadyClock::now() >= killAt) {
        kill(-*pid, SIGKILL);
        kill(*pid, SIGKILL);
        killed = true;
      }
      if (SteadyClock::now() >= start + limit)
        return fail(Errc::kTimedOut, "the service did not stop");
      std::this_thread::sleep_for(kPollStep);
    }
    // A detached copy's supervisor records the ending just after it; waiting
    // for that keeps state() truthful right after a stop.
    while (SteadyClock::now() < start + limit) {
      auto ended = readExitRecord(exitFile_);
      if (ended && ended->pid == *pid) break;
      std::this_thread::sleep_for(kPollStep);
    }
    return {};
  }

  Result<void> spawn(const json& doc) {
    std::vector<std::string> args;
    for (const auto& a : doc["programArguments"]) {
      if (a.is_string()) args.push_back(a.get<std::string>());
    }
    if (args.empty()) return fail(Errc::kToolFailed, "1 the service definition names no program");
    std::vector<std::pair<std::string, std::string>> env;
    if (doc.contains("environmentVariables") && doc["environmentVariables"].is_object()) {
      for (const auto& [k, v] : doc["environmentVariables"].items()) {
        if (v.is_string()) env.emplace_back(k, v.get<std::string>());
      }
    }
    const std::string log = doc.value("standardOutPath", std::string("/dev/null"));
    const std::string program = args.front();
    args.erase(args.begin());
    // A session of its own, so stopping it reaches its rsync children too. A
    // copy that outlives this process is watched by a supervisor of its own,
    // so its ending is recorded even when nobody here is left to reap it.
    const bool outlives = ownership_ == ServiceOwnership::kOutlivesCaller;
    std::error_code ec;
    fs::remove(exitFile_, ec);
    auto spawned =
        brimvale::spawn({.path = program,
                         .args = std::move(args),
                         .envAdditions = std::move(env),
                         .stdoutTo = OutputTarget::append(log),
                         .stderrTo = OutputTarget::append(log),
                         .grouping = Grouping::kNewSession,
                         .detachment = outlives ? Detachment::kDoubleFork : Detachment::kAttached,
                         .parentDeathSignal = outlives ? 0 : SIGTERM,
                         .exitStatusFile = outlives ? exitFile_.string() : std::string()});
    if (!spawned) {
      return fail(Errc::kToolFailed, spawned.error().code == Errc::kLaunchFailed
                                         ? "1 " + spawned.error().detail
                                         : "1 cannot open " + log);
    }
    const pid_t pid = spawned->pid;
    reap();  // an earlier child of ours, if any
    if (!outlives) child_ = pid;
    return writeFileAtomically(pidFile_, std::to_string(pid) + "\n");
  }

  ServiceOwnership ownership_;
  fs::path definition_;
  fs::path loaded_;
  fs::path pidFile_;
  fs::path exitFile_;
  pid_t child_ = -1;  // a copy this process started and must reap
};

}  // namespace

std::unique_ptr<ServiceManager> makeSupervisedServiceManager(fs::path stateDir,
                                                             ServiceOwnership ownership) {
  return std::make_unique<SupervisedServiceManager>(std::move(stateDir), ownership);
}

}  // namespace brimvale::platform
