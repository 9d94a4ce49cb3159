#include "common/base/file_operations.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace brimvale {
namespace fs = std::filesystem;

namespace {

std::error_code lastError(int rc) {
  return rc == 0 ? std::error_code() : std::error_code(errno, std::generic_category());
}

class RealFileOperations final : public FileOperations {
 public:
  std::error_code rename(const fs::path& from, const fs::path& to) override {
    std::error_code ec;
    fs::rename(from, to, ec);
    return ec;
  }
  std::error_code renameNoReplace(const fs::path& from, const fs::path& to) override {
    return brimvale::renameNoReplace(from, to);
  }
  std::error_code createDirectorySymlink(const fs::path& target, const fs::path& link) override {
    std::error_code ec;
    fs::create_directory_symlink(target, link, ec);
    return ec;
  }
  std::error_code remove(const fs::path& path) override {
    std::error_code ec;
    fs::remove(path, ec);
    return ec;
  }
  std::error_code removeAll(const fs::path& path) override {
    std::error_code ec;
    fs::remove_all(path, ec);
    return ec;
  }
  std::error_code createDirectory(const fs::path& path) override {
    std::error_code ec;
    fs::create_directory(path, ec);
    return ec;
  }
  std::error_code createDirectories(const fs::path& path) override {
    std::error_code ec;
    fs::create_directories(path, ec);
    return ec;
  }
  std::error_code createExclusively(const fs::path& path, ClaimKind kind) override {
    return brimvale::createExclusively(path, kind);
  }
  std::error_code symlinkAt(const std::string& target, int dirfd,
                            const std::string& name) override {
    return lastError(::symlinkat(target.c_str(), dirfd, name.c_str()));
  }
  std::error_code renameAt(int dirfd, const std::string& from, const std::string& to) override {
    return lastError(::renameat(dirfd, from.c_str(), dirfd, to.c_str()));
  }
  std::error_code unlinkAt(int dirfd, const std::string& name) override {
    return lastError(::unlinkat(dirfd, name.c_str(), 0));
  }
};

}  // namespace

FileOperations& FileOperations::real() {
  static RealFileOperations operations;
  return operations;
}

}  // namespace brimvale
