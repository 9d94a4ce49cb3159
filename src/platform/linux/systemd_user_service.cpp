#include <unistd.h>

#include <chrono>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "platform/service_manager.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;
constexpr std::chrono::milliseconds kSystemctlDeadline{15000};

std::string systemdQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '%') {
      out += "%%";
    } else if (c == '$') {
      out += "$$";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A path in StandardOutput=append: takes no quotes; specifiers still expand.
std::string unquotedPath(std::string_view path) {
  std::string out;
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

class SystemdUserServiceManager final : public ServiceManager {
 public:
  SystemdUserServiceManager(fs::path home, std::string systemctl, ProcessRunner run)
      : unit_(home / ".config" / "systemd" / "user" / std::string(kSystemdUnitName)),
        systemctl_(std::move(systemctl)),
        run_(std::move(run)) {}

  fs::path definitionPath() const override { return unit_; }

  Result<void> writeDefinition(const ServiceDefinition& definition) override {
    // A line break would end the setting and could forge another one.
    if (definition.logFile.string().find('\n') != std::string::npos) {
      return fail(Errc::kInvalidArgument,
                  "the service log path holds a line break, which a systemd unit cannot hold");
    }
    std::error_code ec;
    fs::create_directories(unit_.parent_path(), ec);
    return writeFileAtomically(unit_, systemdUnitText(definition), {.mode = 0644});
  }

  bool definitionIsOutdated() override {
    auto text = readFile(unit_);
    return text && systemdUnitRequestsAutostart(*text);
  }

  Result<void> load() override {
    ProcessResult r = systemctl({"daemon-reload"}, kSystemctlDeadline);
    if (r.succeeded()) return {};
    return fail(Errc::kToolFailed, "systemctl could not load the service:\n" + r.out + r.err);
  }

  Result<void> unload(std::chrono::milliseconds limit) override {
    ProcessResult r = systemctl({"stop", std::string(kSystemdUnitName)}, limit);
    if (r.outcome == ProcessOutcome::kTimedOut) return fail(Errc::kTimedOut, "systemctl stop");
    return {};
  }

  Result<void> kickstart() override {
    ProcessResult r = systemctl({"restart", std::string(kSystemdUnitName)}, kSystemctlDeadline);
    if (r.succeeded()) return {};
    return fail(Errc::kToolFailed,
                std::to_string(r.outcome == ProcessOutcome::kExited ? r.exitCode : -1) + " " +
                    r.describe());
  }

  ServiceJobState state() override {
    ProcessResult r = systemctl({"show", std::string(kSystemdUnitName),
                                 "--property=LoadState,MainPID,ExecMainStatus,ExecMainCode"},
                                kSystemctlDeadline);
    if (!r.succeeded()) return {};
    return parseSystemctlShow(r.out);
  }

 private:
  ProcessResult systemctl(std::vector<std::string> args, std::chrono::milliseconds limit) {
    args.insert(args.begin(), "--user");
    return run_({.path = systemctl_,
                 .args = std::move(args),
                 .deadline = limit - std::chrono::milliseconds(500),
                 .killGrace = std::chrono::milliseconds(400)});
  }

  fs::path unit_;
  std::string systemctl_;
  ProcessRunner run_;
};

}  // namespace

std::string systemdUnitText(const ServiceDefinition& d) {
  std::string exec;
  for (const auto& a : d.programArguments) exec += (exec.empty() ? "" : " ") + systemdQuoted(a);
  std::string text =
      "# Written by Brimvale. The application starts and stops this service;\n"
      "# it never starts at login and is never restarted.\n"
      "[Unit]\nDescription=Brimvale background service\n\n[Service]\nType=simple\n"
      "ExecStart=" +
      exec + "\n";
  for (const auto& [k, v] : d.environment)
    text += "Environment=" + systemdQuoted(k + "=" + v) + "\n";
  text += "StandardOutput=append:" + unquotedPath(d.logFile.string()) + "\n";
  text += "StandardError=append:" + unquotedPath(d.logFile.string()) + "\n";
  // launchd's ThrottleInterval: 30 s between an exit and a restart, should a
  // restart policy ever be set by hand.
  text += "Restart=no\nRestartSec=30\n";
  return text;
}

ServiceJobState parseSystemctlShow(std::string_view output) {
  ServiceJobState s;
  KeyValues values = parseKeyValues(output);
  s.loaded = findValue(values, "LoadState") == "loaded";
  auto number = [&](std::string_view key) -> std::optional<int> {
    auto v = findValue(values, key);
    if (!v || v->empty() || v->find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    return std::stoi(*v);
  };
  if (auto pid = number("MainPID"); pid && *pid > 0) s.pid = pid;
  // ExecMainCode 0 means the service never ran, so there is no exit status.
  if (auto code = number("ExecMainCode"); code && *code != 0)
    s.lastExitStatus = number("ExecMainStatus");
  return s;
}

bool systemdUnitRequestsAutostart(std::string_view unitText) {
  for (std::string_view line : splitLines(unitText)) {
    line = trimBlanks(line);
    if (line.starts_with("Restart=") && line != "Restart=no") return true;
    if (line == "[Install]") return true;
  }
  return false;
}

bool userSystemdRuns(const std::string& runtimeDir) {
  return access((runtimeDir + "/systemd/private").c_str(), F_OK) == 0;
}

std::unique_ptr<ServiceManager> makeSystemdUserServiceManager(fs::path home, std::string systemctl,
                                                              ProcessRunner run) {
  return std::make_unique<SystemdUserServiceManager>(std::move(home), std::move(systemctl),
                                                     std::move(run));
}

}  // namespace brimvale::platform
