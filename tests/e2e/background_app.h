// The application's command line (`brimvale`) run for a scenario: to the end,
// or in the background with its output in a file, to be watched, signalled
// or killed mid-way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/base/process.h"
#include "e2e_harness.h"

namespace brimvale::e2e {

using Env = std::vector<std::pair<std::string, std::string>>;

// Runs the built brimvale with HOME set to `home` and `env` added.
[[nodiscard]] ProcessResult runApp(const TempHome& home, std::vector<std::string> args,
                                   Env env = {});

// brimvale started in the background with HOME set to `home`, `extra` added
// to the environment, no input, and its output in `home`/`outputName`.
// Killed when the object goes.
class BackgroundApp {
 public:
  BackgroundApp(const TempHome& home, std::vector<std::string> args, const std::string& outputName,
                Env extra = {});
  ~BackgroundApp();
  BackgroundApp(const BackgroundApp&) = delete;
  BackgroundApp& operator=(const BackgroundApp&) = delete;

  void signal(int sig) const;
  [[nodiscard]] bool running();
  // The exit code, or 128 + the signal that ended it; -1 after `limit`.
  int wait(std::chrono::seconds limit = std::chrono::seconds(120));
  [[nodiscard]] std::string output() const;

 private:
  void finished(int status);
  std::filesystem::path output_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace brimvale::e2e
