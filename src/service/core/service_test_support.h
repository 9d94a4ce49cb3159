// For service unit tests: a throw-away home with a configuration, a fake
// platform and a context whose output is captured.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/testing/fake_platform.h"
#include "service/core/service_context.h"

namespace brimvale::service::testsupport {

class ContextInTempHome {
 public:
  // Creates the home and its state folder and writes `config`; call load()
  // after adjusting fake() (mount points, open paths).
  explicit ContextInTempHome(const std::string& config) {
    char tmpl[] = "/tmp/brimvale-service-XXXXXX";
    paths_ = StatePaths::forHome(mkdtemp(tmpl));
    std::filesystem::create_directories(paths_.state);
    std::ofstream(paths_.config) << config;
    platform_ = platform::testing::makeFakePlatform(state_);
  }
  ~ContextInTempHome() { std::filesystem::remove_all(paths_.home); }

  ServiceContext& load(WallClock clock = [] { return kNow; }) {
    ctx_ = std::make_unique<ServiceContext>(paths_, platform_, std::move(clock), out_, out_);
    ctx_->config = loadServiceConfig(paths_, ctx_->workingFolderName()).value();
    return *ctx_;
  }

  static constexpr std::time_t kNow = 1'777'600'000;
  [[nodiscard]] const StatePaths& paths() const { return paths_; }
  [[nodiscard]] const std::filesystem::path& home() const { return paths_.home; }
  platform::testing::FakeState& fake() { return state_; }
  platform::FileFacts& files() { return *platform_.files; }
  std::ostringstream& out() { return out_; }

 private:
  StatePaths paths_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
};

}  // namespace brimvale::service::testsupport
