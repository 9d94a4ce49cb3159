// What the mover commands print while moves run: a line per phase change, and
// copy progress as a bar rewritten in place on a terminal or, when the output
// goes to a file or a pipe, a plain line every few seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "common/base/rate_estimate.h"
#include "mover/local_folder_mover.h"

namespace brimvale::app {

enum class OutputKind { kTerminal, kPlain };

// kTerminal only when `fd` is a terminal: a pipe or a file never gets
// carriage returns or escape codes.
[[nodiscard]] OutputKind outputKindOf(int fd);

// One look at a running copy.
struct CopySample {
  double fraction = 0;  // as the copy tool counts it, 0…1
  std::int64_t bytesDone = 0;
  std::int64_t totalBytes = 0;  // the folder's apparent size; 0 when unknown
  std::string currentFile;
};

// "[#####-----] 50% · 1.2 GB of 2.4 GB · 25.3 MB/s · about 1 min left · file".
// Without a rate the speed and time are left out; a stall says so.
[[nodiscard]] std::string copyProgressLine(const CopySample& sample,
                                           std::optional<double> bytesPerSecond,
                                           std::optional<std::int64_t> secondsLeft);

// "30,204": a count with its thousands grouped.
[[nodiscard]] std::string groupedCount(std::uint64_t n);

// "Checking the original: 1,204 of 5,000 files", "Checking the copy: …".
[[nodiscard]] std::string hashedCountLine(const mover::HashedCount& count);

// "Linking 1,204 of 5,000 files": the relocation's source becoming links.
[[nodiscard]] std::string linkedCountLine(const mover::LinkedCount& count);

// "about 40 s left", "about 3 min left", "about 2 h left", "about 2 h 5 min left".
[[nodiscard]] std::string timeLeftText(std::int64_t seconds);

class MoveProgressPrinter {
 public:
  using Clock = RateEstimate::Clock;
  MoveProgressPrinter(std::ostream& out, OutputKind kind,
                      std::function<Clock::time_point()> now = Clock::now);

  void phaseChanged(const mover::MoveManifest& job);
  // The apparent size of a job's source, when the caller measured it already:
  // the copy then runs without a second walk of the tree beside it.
  void knowTotal(const std::string& jobId, std::int64_t apparentBytes) {
    totals_[jobId] = apparentBytes;
  }
  // Shows the copy progress of every copying job the mover runs.
  void tick(const mover::LocalFolderMover& mover);
  void showCopy(const std::string& jobId, const CopySample& sample);
  void showHashing(const mover::HashedCount& count);
  void showLinking(const mover::LinkedCount& count);
  // Ends a bar left on the line, so what follows starts on its own line.
  void endBar();

 private:
  std::ostream& out_;
  OutputKind kind_;
  std::function<Clock::time_point()> now_;
  std::map<std::string, std::pair<mover::MovePhase, std::string>> phases_;
  std::map<std::string, RateEstimate> rates_;
  // Apparent size of each copying job's source, measured once.
  std::map<std::string, std::int64_t> totals_;
  // Shows `line` in place on a terminal, else at most every few seconds.
  void showProgress(const std::string& line);

  std::string lastBar_;
  std::optional<Clock::time_point> lastPlainLine_;
  bool barShown_ = false;
};

}  // namespace brimvale::app
