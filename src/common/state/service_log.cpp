#include "common/state/service_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string>

#include "common/base/file_io.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

// Holds {log}.lock exclusively for its lifetime; holds nothing when the lock
// file cannot be opened (the append then goes ahead unguarded).
class LogTurn {
 public:
  explicit LogTurn(const fs::path& logFile)
      : fd_(open((logFile.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~LogTurn() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  LogTurn(const LogTurn&) = delete;
  LogTurn& operator=(const LogTurn&) = delete;

 private:
  int fd_;
};

std::uintmax_t sizeOf(const fs::path& file) {
  struct stat st {};
  return stat(file.c_str(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

}  // namespace

fs::path previousLogGeneration(const fs::path& logFile) { return logFile.string() + ".1"; }

void ServiceLog::log(std::string_view message) const {
  std::string line = ts(clock_());
  line += "  ";
  line += message;
  line += '\n';
  const LogTurn turn(logFile_);
  const std::uintmax_t size = sizeOf(logFile_);
  // A single line longer than the limit still gets a log of its own.
  if (size > 0 && size + line.size() > limit_) {
    (void)std::rename(logFile_.c_str(), previousLogGeneration(logFile_).c_str());
  }
  (void)appendToFile(logFile_, line);
}

void ServiceLog::say(std::string_view message) const {
  out_ << '[' << ts(clock_()) << "] " << message << '\n' << std::flush;
  log(message);
}

std::vector<std::string> lastLogLines(const fs::path& logFile, std::size_t count) {
  std::vector<std::string> lines = readLastLines(logFile, count);
  if (lines.size() >= count) return lines;
  std::vector<std::string> older =
      readLastLines(previousLogGeneration(logFile), count - lines.size());
  older.insert(older.end(), std::make_move_iterator(lines.begin()),
               std::make_move_iterator(lines.end()));
  return older;
}

}  // namespace brimvale
