#include <plist/plist.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "platform/service_manager.h"

namespace brimvale::platform {
namespace {

constexpr std::chrono::milliseconds kLaunchctlDeadline{15000};

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

bool trueAt(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) return false;
  uint8_t value = 0;
  plist_get_bool_val(node, &value);
  return value != 0;
}

std::optional<int> numberAfter(std::string_view line, std::string_view key) {
  // "\t\"PID\" = 123;"
  auto pos = line.find("\"" + std::string(key) + "\" = ");
  if (pos == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(pos + key.size() + 5);
  std::size_t end = 0;
  while (end < rest.size() &&
         (std::isdigit(static_cast<unsigned char>(rest[end])) || (end == 0 && rest[0] == '-')))
    ++end;
  if (end == 0 || (end == 1 && rest[0] == '-')) return std::nullopt;
  return std::atoi(std::string(rest.substr(0, end)).c_str());
}

class LaunchAgentManager final : public ServiceManager {
 public:
  LaunchAgentManager(std::filesystem::path home, std::string launchctl, unsigned uid,
                     ProcessRunner run)
      : plist_(home / "Library" / "LaunchAgents" / (std::string(kServiceLabel) + ".plist")),
        launchctl_(std::move(launchctl)),
        uid_(uid),
        run_(std::move(run)) {}

  std::filesystem::path definitionPath() const override { return plist_; }

  Result<void> writeDefinition(const ServiceDefinition& definition) override {
    std::error_code ec;
    std::filesystem::create_directories(plist_.parent_path(), ec);
    return writeFileAtomically(plist_, launchAgentPlistXml(definition), {.mode = 0644});
  }

  bool definitionIsOutdated() override {
    auto data = readFile(plist_);
    return data && plistRequestsAutostart(*data);
  }

  Result<void> load() override {
    ProcessResult r = launchctl({"load", plist_.string()}, kLaunchctlDeadline);
    if (r.succeeded()) return {};
    return fail(Errc::kToolFailed, "launchctl could not load the service:\n" + r.out + r.err);
  }

  Result<void> unload(std::chrono::milliseconds limit) override {
    ProcessResult r = launchctl({"unload", plist_.string()}, limit);
    if (r.outcome == ProcessOutcome::kTimedOut) return fail(Errc::kTimedOut, "launchctl unload");
    // launchctl complains about a job that is not loaded; that is the goal.
    return {};
  }

  Result<void> kickstart() override {
    ProcessResult r = launchctl(
        {"kickstart", "-k", "gui/" + std::to_string(uid_) + "/" + std::string(kServiceLabel)},
        kLaunchctlDeadline);
    if (r.succeeded()) return {};
    return fail(Errc::kToolFailed,
                std::to_string(r.outcome == ProcessOutcome::kExited ? r.exitCode : -1) + " " +
                    r.describe());
  }

  ServiceJobState state() override {
    ProcessResult r = launchctl({"list", std::string(kServiceLabel)}, kLaunchctlDeadline);
    if (!r.succeeded()) return {};
    LaunchctlListing listing = parseLaunchctlList(r.out);
    return {true, listing.pid, listing.lastExitStatus};
  }

 private:
  ProcessResult launchctl(std::vector<std::string> args, std::chrono::milliseconds limit) {
    // A short kill grace keeps a hung launchctl within the caller's limit.
    return run_({.path = launchctl_,
                 .args = std::move(args),
                 .deadline = limit - std::chrono::milliseconds(500),
                 .killGrace = std::chrono::milliseconds(400)});
  }

  std::filesystem::path plist_;
  std::string launchctl_;
  unsigned uid_;
  ProcessRunner run_;
};

}  // namespace

LaunchctlListing parseLaunchctlList(std::string_view output) {
  LaunchctlListing listing;
  for (std::string_view line : splitLines(output)) {
    if (auto pid = numberAfter(line, "PID")) listing.pid = pid;
    if (auto status = numberAfter(line, "LastExitStatus")) listing.lastExitStatus = status;
  }
  return listing;
}

std::string launchAgentPlistXml(const ServiceDefinition& d) {
  PlistPtr dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "Label", plist_new_string(std::string(kServiceLabel).c_str()));
  plist_t args = plist_new_array();
  for (const auto& a : d.programArguments)
    plist_array_append_item(args, plist_new_string(a.c_str()));
  plist_dict_set_item(dict.get(), "ProgramArguments", args);
  plist_dict_set_item(dict.get(), "RunAtLoad", plist_new_bool(0));
  plist_dict_set_item(dict.get(), "KeepAlive", plist_new_bool(0));
  plist_dict_set_item(dict.get(), "ThrottleInterval", plist_new_uint(30));
  plist_dict_set_item(dict.get(), "StandardOutPath", plist_new_string(d.logFile.c_str()));
  plist_dict_set_item(dict.get(), "StandardErrorPath", plist_new_string(d.logFile.c_str()));
  plist_t env = plist_new_dict();
  for (const auto& [k, v] : d.environment)
    plist_dict_set_item(env, k.c_str(), plist_new_string(v.c_str()));
  plist_dict_set_item(dict.get(), "EnvironmentVariables", env);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dict.get(), &xml, &length);
  std::string out(xml ? xml : "", length);
  plist_to_xml_free(xml);
  return out;
}

bool plistRequestsAutostart(std::string_view data) {
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  PlistPtr owned(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return false;
  return trueAt(root, "RunAtLoad") || trueAt(root, "KeepAlive");
}

std::unique_ptr<ServiceManager> makeLaunchAgentManager(std::filesystem::path home,
                                                       std::string launchctl, unsigned uid,
                                                       ProcessRunner run) {
  return std::make_unique<LaunchAgentManager>(std::move(home), std::move(launchctl), uid,
                                              std::move(run));
}

}  // namespace brimvale::platform
