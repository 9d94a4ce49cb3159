// Tests only: the real file operations with failures injected on demand, the
// Nth call of any kind or the first call of one kind on a matching path, each
// with a chosen errno, so a test can fail a move at any step of its own.
#pragma once

#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/base/file_operations.h"

namespace brimvale::testing {

enum class FileOp {
  kRename,
  kRenameNoReplace,
  kCreateDirectorySymlink,
  kRemove,
  kRemoveAll,
  kCreateDirectory,
  kCreateDirectories,
  kCreateExclusively,
  kSymlinkAt,
  kRenameAt,
  kUnlinkAt,
};

class FailingFileOperations final : public FileOperations {
 public:
  // The `n`th call from now (1: the next one) fails with `err`, whatever it is.
  void failNthCall(int n, int err) {
    std::lock_guard lock(mutex_);
    nth_ = calls_ + n;
    nthErr_ = err;
  }
  // The first call of `op` whose path (for the calls inside an open folder:
  // the name) contains `pathPart` fails with `err`; later calls go through.
  // Several such failures may wait at once; each is used up by one call.
  void failFirst(FileOp op, std::string pathPart, int err) {
    std::lock_guard lock(mutex_);
    rules_.push_back(Rule{op, std::move(pathPart), err});
  }
  // Calls made so far, failed ones included.
  [[nodiscard]] int calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Calls that were made to fail.
  [[nodiscard]] int injected() const {
    std::lock_guard lock(mutex_);
    return injected_;
  }

  std::error_code rename(const std::filesystem::path& from,
                         const std::filesystem::path& to) override {
    if (auto ec = injected(FileOp::kRename, from.string())) return *ec;
    return real_.rename(from, to);
  }
  std::error_code renameNoReplace(const std::filesystem::path& from,
                                  const std::filesystem::path& to) override {
    if (auto ec = injected(FileOp::kRenameNoReplace, from.string())) return *ec;
    return real_.renameNoReplace(from, to);
  }
  std::error_code createDirectorySymlink(const std::filesystem::path& target,
                                         const std::filesystem::path& link) override {
    if (auto ec = injected(FileOp::kCreateDirectorySymlink, link.string())) return *ec;
    return real_.createDirectorySymlink(target, link);
  }
  std::error_code remove(const std::filesystem::path& path) override {
    if (auto ec = injected(FileOp::kRemove, path.string())) return *ec;
    return real_.remove(path);
  }
  std::error_code removeAll(const std::filesystem::path& path) override {
    if (auto ec = injected(FileOp::kRemoveAll, path.string())) return *ec;
    return real_.removeAll(path);
  }
  std::error_code createDirectory(const std::filesystem::path& path) override {
    if (auto ec = injected(FileOp::kCreateDirectory, path.string())) return *ec;
    return real_.createDirectory(path);
  }
  std::error_code createDirectories(const std::filesystem::path& path) override {
    if (auto ec = injected(FileOp::kCreateDirectories, path.string())) return *ec;
    return real_.createDirectories(path);
  }
  std::error_code createExclusively(const std::filesystem::path& path, ClaimKind kind) override {
    if (auto ec = injected(FileOp::kCreateExclusively, path.string())) return *ec;
    return real_.createExclusively(path, kind);
  }
  std::error_code symlinkAt(const std::string& target, int dirfd,
                            const std::string& name) override {
    if (auto ec = injected(FileOp::kSymlinkAt, name)) return *ec;
    return real_.symlinkAt(target, dirfd, name);
  }
  std::error_code renameAt(int dirfd, const std::string& from, const std::string& to) override {
    if (auto ec = injected(FileOp::kRenameAt, to)) return *ec;
    return real_.renameAt(dirfd, from, to);
  }
  std::error_code unlinkAt(int dirfd, const std::string& name) override {
    if (auto ec = injected(FileOp::kUnlinkAt, name)) return *ec;
    return real_.unlinkAt(dirfd, name);
  }

 private:
  struct Rule {
    FileOp op;
    std::string pathPart;
    int err;
  };

  std::optional<std::error_code> injected(FileOp op, const std::string& path) {
    std::lock_guard lock(mutex_);
    ++calls_;
    int err = 0;
    if (calls_ == nth_) {
      err = nthErr_;
    } else {
      for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->op != op || path.find(it->pathPart) == std::string::npos) continue;
        err = it->err;
        rules_.erase(it);
        break;
      }
    }
    if (err == 0) return std::nullopt;
    ++injected_;
    return std::error_code(err, std::generic_category());
  }

  FileOperations& real_ = FileOperations::real();
  mutable std::mutex mutex_;
  int calls_ = 0;
  int nth_ = 0;
  int nthErr_ = 0;
  int injected_ = 0;
  std::vector<Rule> rules_;
};

}  // namespace brimvale::testing
