// Tests only: a private temporary folder, removed with everything in it when
// the test ends, with helpers to lay out files, folders and links in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace brimvale::testing {

class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "bv-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& rel) const {
    return path_ / rel;
  }

  // Creates `rel` (and the folders above it) as a folder; returns its path.
  std::filesystem::path folder(const std::filesystem::path& rel) const {
    std::filesystem::create_directories(path_ / rel);
    return path_ / rel;
  }
  // Writes `content` to `rel`, creating the folders above it; returns its path.
  std::filesystem::path file(const std::filesystem::path& rel,
                             const std::string& content = "x") const {
    std::filesystem::create_directories((path_ / rel).parent_path());
    std::ofstream(path_ / rel, std::ios::binary) << content;
    return path_ / rel;
  }
  // A symbolic link at `rel` pointing to `target`; returns its path.
  std::filesystem::path link(const std::filesystem::path& rel,
                             const std::filesystem::path& target) const {
    std::filesystem::create_directories((path_ / rel).parent_path());
    std::filesystem::create_symlink(target, path_ / rel);
    return path_ / rel;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace brimvale::testing
