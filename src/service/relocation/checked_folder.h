// A folder that a rule or clean-up works inside, allowed by the path policy
// and held open without following a link: its entries are removed and
// renamed through the open folder, so a folder swapped for a link after the
// check cannot send a deletion anywhere else.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/base/error.h"
#include "common/base/guarded_removal.h"
#include "common/state/path_policy.h"

namespace brimvale::service {

// How long after its last write an item counts as in use: a program that
// writes a file now and then keeps no descriptor open between writes, so a
// clean-up leaves what was written this recently alone.
inline constexpr std::chrono::seconds kInUseWindow{60};
[[nodiscard]] bool writtenMomentsAgo(const struct stat& info,
                                     std::chrono::system_clock::time_point now);

// What removing a listed item did: whether it is gone, and the entries left
// (relative to the checked folder) because they changed, appeared or were
// written moments ago after the listing, or could not be removed.
struct ListedRemoval {
  bool gone = false;
  std::vector<std::string> left;
  std::string firstFailure;  // empty, or why an entry could not be removed
};

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

  // Removes `relative` only as it was when listed at `listedAt` (taken
  // before the listing): the item must still be exactly `listed` (its lstat
  // from the listing: device, inode, size, times); inside a folder, an entry
  // changed or created since the listing, or written moments ago, is left
  // with the folders that hold it, and every other entry is checked again
  // right before it goes. Links are removed as links.
  [[nodiscard]] ListedRemoval removeAsListed(const std::filesystem::path& relative,
                                             const struct stat& listed,
                                             std::chrono::system_clock::time_point listedAt) const;

  // removeVerifiedTree of `relative` against its copy `keptRoot`, through the
  // open folder.
  [[nodiscard]] GuardedRemoval removeVerified(const std::filesystem::path& relative,
                                              const std::filesystem::path& keptRoot,
                                              const ReplaceGuard& guard) const;

  // Whether the path still names the folder that is open (not a folder or
  // link put in its place since).
  [[nodiscard]] bool stillAt() const;

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
