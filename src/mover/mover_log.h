// The mover's in-memory diary: every queued move, phase change, command and
// copy-tool line, tagged with its move, capped at 2,000 lines.
#pragma once
#include <array>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/raw_names.h"

namespace brimvale::mover {

// Shown by raw string; never renumber.
enum class MoverLogSource {
  kRsync,
  kRsyncErr,
  kHashing,
  kCleanup,
  kPhase,
  kEnqueue,
  kCommand,
  kInfo
};
inline constexpr std::array<RawName<MoverLogSource>, 8> kMoverLogSourceNames{{
    {MoverLogSource::kRsync, "rsync"},
    {MoverLogSource::kRsyncErr, "rsync!"},
    {MoverLogSource::kHashing, "hashing"},
    {MoverLogSource::kCleanup, "cleanup"},
    {MoverLogSource::kPhase, "phase"},
    {MoverLogSource::kEnqueue, "enqueue"},
    {MoverLogSource::kCommand, "command"},
    {MoverLogSource::kInfo, "info"},
}};
[[nodiscard]] std::string_view sourceRaw(MoverLogSource source);

struct MoverLogLine {
  std::string id;
  std::chrono::system_clock::time_point timestamp;
  std::optional<std::string> jobID;
  MoverLogSource source = MoverLogSource::kInfo;
  std::string text;
};

// "HH:mm:ss.SSS [source  ] [1A2B3C4D] text" (local time; "[--------]" without a job).
[[nodiscard]] std::string formatted(const MoverLogLine& line);
// The same with the local date in front ("YYYY-mm-dd HH:mm:ss.SSS ..."): lines
// read back later, or on another day, still say when they happened.
[[nodiscard]] std::string datedFormatted(const MoverLogLine& line);

// Loop-thread only.
class MoverLog {
 public:
  static constexpr std::size_t kCapacity = 2000;
  // Called with the lines of each append, e.g. to mirror them for another process.
  using Observer = std::function<void(std::span<const MoverLogLine>)>;
  void setObserver(Observer observer) { observer_ = std::move(observer); }
  void append(MoverLogSource source, std::string text, std::optional<std::string> jobID = {});
  // Lines that arrived together (copy-tool output): one time stamp, one observer call.
  void appendAll(MoverLogSource source, std::vector<std::string> texts,
                 std::optional<std::string> jobID = {});
  [[nodiscard]] const std::deque<MoverLogLine>& lines() const { return lines_; }

 private:
  std::deque<MoverLogLine> lines_;
  Observer observer_;
};

// How much of the log a reader wants: the move's story (queued, each phase
// change, the result) or every line, copy-tool output included.
enum class MoverLogDetail { kPhases, kEverything };

// The mirror the command line reads back: one "<job id or ->\t<datedFormatted>" line
// per appended line, in state/mover-log.txt, trimmed to the newest kCapacity
// lines after every kTrimEvery lines this writer adds (readers only ever read
// the newest kCapacity).
class MoverLogFile {
 public:
  // A trim rewrites the file and flushes it twice: a copy of 100,000 files
  // logs a line each, and should not wait on the disk fifty times for it.
  static constexpr std::size_t kTrimEvery = 5 * MoverLog::kCapacity;
  explicit MoverLogFile(std::filesystem::path stateDir);
  ~MoverLogFile();
  MoverLogFile(const MoverLogFile&) = delete;
  MoverLogFile& operator=(const MoverLogFile&) = delete;
  void write(std::span<const MoverLogLine> lines);
  // Formatted lines, oldest first; only those of `jobPrefix` when given
  // (a prefix of the job id, any case), and with kPhases only enqueue and
  // phase lines.
  [[nodiscard]] std::vector<std::string> read(
      std::string_view jobPrefix = {}, MoverLogDetail detail = MoverLogDetail::kEverything) const;

 private:
  // Kept open between lines (copy-tool output arrives by the thousand);
  // dropped after each trim and whenever the file it names was replaced.
  bool appendLine(std::string_view bytes);
  void closeFile();

  std::filesystem::path file_;
  int fd_ = -1;
  std::size_t written_ = 0;
};

}  // namespace brimvale::mover
