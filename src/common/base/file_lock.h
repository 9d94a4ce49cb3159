// An advisory whole-file lock (flock) on one path, held by one object: taken
// exclusive or shared, waiting or not, and released when the object goes.
#pragma once

#include <filesystem>

#include "common/base/error.h"

namespace brimvale {

class FileLock {
 public:
  enum class Mode { kExclusive, kShared };

  // Not open; locked() is false and lock calls fail with kInvalidArgument.
  FileLock() = default;

  // Opens `path` for locking without taking the lock. A missing file is
  // created (0600); a folder is opened read-only and locked as it is. The
  // descriptor is not passed on to child processes. On failure the error's
  // detail is the system's reason alone, so the caller can name the file.
  [[nodiscard]] static Result<FileLock> open(const std::filesystem::path& path);

  // Waits until the lock is held; an interrupted wait is resumed.
  [[nodiscard]] Result<void> lock(Mode mode = Mode::kExclusive);
  // Takes the lock when nobody else holds it: false while another open
  // descriptor (in this or any process) holds a conflicting lock.
  [[nodiscard]] Result<bool> tryLock(Mode mode = Mode::kExclusive);
  // Gives the lock up and keeps the file open.
  void unlock();

  // Replaces the file's content with this process's id and a newline, so a
  // waiting process can say who holds the lock. Best effort.
  void recordHolder() const;
  // The process id recorded in the file; 0 when there is none.
  [[nodiscard]] long holder() const;

  [[nodiscard]] bool locked() const { return locked_; }

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Releases the lock and closes the file.
  ~FileLock();

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  [[nodiscard]] Result<bool> take(Mode mode, bool wait);
  void close();

  int fd_ = -1;
  bool locked_ = false;
};

}  // namespace brimvale
