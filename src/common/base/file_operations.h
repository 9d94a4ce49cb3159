// The calls that change the disk on the paths that move people's folders,
// behind one interface, so tests can make any of them fail on purpose and
// check that nothing is lost when the disk says no.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "common/base/file_io.h"

namespace brimvale {

// Each call returns the system error, empty on success. The real set is
// safe to use from several threads.
class FileOperations {
 public:
  virtual ~FileOperations() = default;

  // rename(2): replaces a file or an empty folder at `to`.
  virtual std::error_code rename(const std::filesystem::path& from,
                                 const std::filesystem::path& to) = 0;
  // Never replaces anything at `to` (see brimvale::renameNoReplace).
  virtual std::error_code renameNoReplace(const std::filesystem::path& from,
                                          const std::filesystem::path& to) = 0;
  // A link to a folder at `link`; never replaces anything there.
  virtual std::error_code createDirectorySymlink(const std::filesystem::path& target,
                                                 const std::filesystem::path& link) = 0;
  // A file, a link or an empty folder; a missing path is not an error.
  virtual std::error_code remove(const std::filesystem::path& path) = 0;
  // Everything at and below `path`, links not followed; missing is not an error.
  virtual std::error_code removeAll(const std::filesystem::path& path) = 0;
  // One folder; an existing folder is success, a missing parent is not.
  virtual std::error_code createDirectory(const std::filesystem::path& path) = 0;
  // The folder and any missing parents; an existing folder is success.
  virtual std::error_code createDirectories(const std::filesystem::path& path) = 0;
  // See brimvale::createExclusively: EEXIST when the name is taken.
  virtual std::error_code createExclusively(const std::filesystem::path& path, ClaimKind kind) = 0;

  // The same inside an open folder `dirfd`, for walks that work through
  // descriptors: a link `name` to `target`, a rename within the folder, and
  // the removal of a name that is not a folder.
  virtual std::error_code symlinkAt(const std::string& target, int dirfd,
                                    const std::string& name) = 0;
  virtual std::error_code renameAt(int dirfd, const std::string& from, const std::string& to) = 0;
  virtual std::error_code unlinkAt(int dirfd, const std::string& name) = 0;

  // The operations of the running system.
  [[nodiscard]] static FileOperations& real();
};

}  // namespace brimvale
