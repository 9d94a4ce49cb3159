// Tests only: a stand-in for one platform tool, built from
// tests/standins/platform_canned_tool, that replies as told and records how
// it was called.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::platform::testing {

// A link named `name` in `dir` to the canned-output script, which prints
// what `reply` sets and records every argument list it was called with.
class StandinTool {
 public:
  StandinTool(const brimvale::testing::TempFolder& dir, const std::string& name)
      : path_(dir.path() / name) {
    std::filesystem::create_symlink(BRIMVALE_STANDINS_DIR "/platform_canned_tool", path_);
  }

  [[nodiscard]] std::string path() const { return path_.string(); }

  void reply(const std::string& output, int exitCode = 0) const {
    (void)writeFileAtomically(path_.string() + ".out", output);
    (void)writeFileAtomically(path_.string() + ".rc", std::to_string(exitCode) + "\n");
  }

  // Every argument of every call, in order.
  [[nodiscard]] std::vector<std::string> arguments() const {
    std::vector<std::string> args;
    auto content = readFile(path_.string() + ".args");
    if (!content) return args;
    std::size_t start = 0;
    for (std::size_t nul = content->find('\0'); nul != std::string::npos;
         nul = content->find('\0', start)) {
      args.push_back(content->substr(start, nul - start));
      start = nul + 1;
    }
    return args;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace brimvale::platform::testing
