// Tests only: a service context over a throw-away home with a configuration
// and a fake platform, whose output is captured.
#pragma once

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "service/core/service_context.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/fake_platform.h"

namespace brimvale::testing {

// Whether the context's error stream is its output stream or one of its own.
enum class ErrorStream { kWithOutput, kOwn };

class ContextInTempHome {
 public:
  static constexpr std::time_t kNow = 1'777'600'000;

  // Creates the home (a folder of its own in a temporary folder, so tests have
  // room beside it) with its state folder and writes `config`; call load()
  // after adjusting fake() (mount points, open paths).
  explicit ContextInTempHome(const std::string& config,
                             ErrorStream errors = ErrorStream::kWithOutput)
      : paths_(StatePaths::forHome(root_ / "home")), errors_(errors) {
    std::filesystem::create_directories(paths_.state);
    writeConfig(config);
    platform_ = platform::testing::makeFakePlatform(state_);
  }

  // A new context reading the configuration now on disk; the one made by an
  // earlier call is gone.
  service::ServiceContext& load(WallClock clock = [] { return kNow; }) {
    ctx_ =
        std::make_unique<service::ServiceContext>(paths_, platform_, std::move(clock), out_, err());
    ctx_->config = loadServiceConfig(paths_, ctx_->workingFolderName()).value();
    return *ctx_;
  }
  void writeConfig(const std::string& config) const { std::ofstream(paths_.config) << config; }

  [[nodiscard]] const StatePaths& paths() const { return paths_; }
  [[nodiscard]] const std::filesystem::path& home() const { return paths_.home; }
  // The temporary folder holding the home, with room for paths outside it.
  [[nodiscard]] const std::filesystem::path& root() const { return root_.path(); }
  platform::testing::FakeState& fake() { return state_; }
  platform::FileFacts& files() { return *platform_.files; }
  platform::Platform& platform() { return platform_; }
  std::ostringstream& out() { return out_; }
  std::ostringstream& err() { return errors_ == ErrorStream::kOwn ? err_ : out_; }

 private:
  TempFolder root_{"brimvale-service"};
  StatePaths paths_;
  ErrorStream errors_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_, err_;
  std::unique_ptr<service::ServiceContext> ctx_;
};

}  // namespace brimvale::testing
