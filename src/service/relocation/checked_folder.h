// A folder that a rule or clean-up works inside, allowed by the path policy
// and held open without following a link: its entries are removed and
// renamed through the open folder, so a folder swapped for a link after the
// check cannot send a deletion anywhere else.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/base/error.h"
#include "common/state/path_policy.h"

namespace brimvale::service {

class CheckedFolder {
 public:
  // `folder` must be allowed by `policy`, must not itself be a symbolic link
  // and must be the folder that was checked once it is open. The error is a
  // complete sentence saying why it was left alone.
  [[nodiscard]] static std::expected<CheckedFolder, std::string> open(
      const PathPolicy& policy, const std::filesystem::path& folder);

  CheckedFolder(CheckedFolder&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
  }
  CheckedFolder& operator=(CheckedFolder&&) = delete;
  CheckedFolder(const CheckedFolder&) = delete;
  CheckedFolder& operator=(const CheckedFolder&) = delete;
  ~CheckedFolder();

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  // Removes `relative` (a name, or "sub/name") and everything below it. A
  // link is removed as a link and never followed; a folder on the way that is
  // now a link stops the removal with an error. The removal goes on past an
  // entry it cannot remove and returns the first failure.
  [[nodiscard]] Result<void> remove(const std::filesystem::path& relative) const;

  // Renames `relative` to the absolute `target`, replacing `target` when it
  // is an empty placeholder of the same kind. Across volumes the result is
  // std::errc::cross_device_link and nothing changed.
  [[nodiscard]] std::error_code renameTo(const std::filesystem::path& relative,
                                         const std::filesystem::path& target) const;

 private:
  CheckedFolder(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace brimvale::service
