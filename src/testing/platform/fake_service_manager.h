// A service manager for unit tests: records each call, keeps "loaded" and
// the running pid in memory, and fails or hangs where a test asks it to.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/base/file_io.h"
#include "platform/service_manager.h"

namespace brimvale::platform::testing {

class FakeServices final : public ServiceManager {
 public:
  explicit FakeServices(std::filesystem::path definition) : definition_(std::move(definition)) {}
  std::filesystem::path definitionPath() const override { return definition_; }
  Result<void> writeDefinition(const ServiceDefinition& d) override {
    calls.push_back("write");
    written = d;
    outdated = false;
    return writeFileAtomically(definition_, "definition\n");
  }
  bool definitionIsOutdated() override { return outdated; }
  Result<void> load() override {
    calls.push_back("load");
    if (loadFails) return fail(Errc::kToolFailed, "launchctl could not load the service:\nno");
    loaded = true;
    return {};
  }
  Result<void> unload(std::chrono::milliseconds limit) override {
    calls.push_back("unload");
    lastUnloadLimit = limit;
    if (unloadHangs) return fail(Errc::kTimedOut, "launchctl unload");
    loaded = false;
    pid.reset();
    return {};
  }
  Result<void> kickstart() override {
    calls.push_back("kickstart");
    if (kickstartFails) return fail(Errc::kToolFailed, "37 exited with 37");
    lastExit.reset();
    pid = kRunningPid;
    if (onKickstart) onKickstart();
    return {};
  }
  ServiceJobState state() override { return {loaded, pid, lastExit}; }
  bool keepsServiceManaged() const override { return managed; }

  std::vector<std::string> calls;
  ServiceDefinition written;
  bool outdated = false, loaded = false, loadFails = false, unloadHangs = false,
       kickstartFails = false;
  bool managed = true;  // false plays the one-shot command without a user service manager
  std::chrono::milliseconds lastUnloadLimit{0};
  std::optional<int> lastExit;
  static constexpr int kRunningPid = 4242;
  std::optional<int> pid;  // set by kickstart, cleared by unload
  std::function<void()> onKickstart;

 private:
  std::filesystem::path definition_;
};

}  // namespace brimvale::platform::testing
