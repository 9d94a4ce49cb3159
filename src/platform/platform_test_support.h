// Helpers shared by the platform tests: a private temporary folder and
// stand-in tools built from tests/standins/platform_canned_tool.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/file_io.h"

namespace brimvale::platform::testsupport {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bv-platform-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  // Writes `content` to `relative`, creating folders on the way.
  void write(const std::filesystem::path& relative, const std::string& content) const {
    std::filesystem::create_directories((path_ / relative).parent_path());
    (void)writeFileAtomically(path_ / relative, content);
  }

 private:
  std::filesystem::path path_;
};

// A stand-in for one tool: a link to the canned-output script, which prints
// what `reply` sets and records every argument list it was called with.
class StandinTool {
 public:
  StandinTool(const TempDir& dir, const std::string& name) : path_(dir.path() / name) {
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

}  // namespace brimvale::platform::testsupport
