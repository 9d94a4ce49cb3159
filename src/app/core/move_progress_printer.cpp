#include "app/core/move_progress_printer.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "common/base/disk_usage.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

using mover::MoveManifest;
using mover::MovePhase;

// How often a plain (non-terminal) output repeats the copy line.
constexpr std::chrono::seconds kPlainLineInterval{5};
constexpr int kBarWidth = 30;
constexpr std::size_t kShownFileLength = 60;

std::string quotedPhase(const MoveManifest& job) {
  return std::string(mover::phaseWords(job.phase)) + " " + mover::quotedName(job.src);
}

// A file name may hold control characters; shown raw they would move the
// cursor or split the line.
std::string shownFileName(const std::string& name) {
  std::string shown = name.substr(0, kShownFileLength);
  for (char& ch : shown) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
  }
  return shown;
}

}  // namespace

OutputKind outputKindOf(int fd) { return isatty(fd) ? OutputKind::kTerminal : OutputKind::kPlain; }

std::string groupedCount(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
    digits.insert(static_cast<std::size_t>(i), ",");
  return digits;
}

std::string hashedCountLine(const mover::HashedCount& count) {
  return std::string("Checking the ") +
         (count.side == mover::HashedCount::Side::kSource ? "original" : "copy") + ": " +
         groupedCount(count.done) + " of " + groupedCount(count.total) +
         (count.total == 1 ? " file" : " files");
}

std::string linkedCountLine(const mover::LinkedCount& count) {
  return "Linking " + groupedCount(count.done) + " of " + groupedCount(count.total) +
         (count.total == 1 ? " file" : " files");
}

std::string timeLeftText(std::int64_t seconds) {
  if (seconds < 60)
    return "about " + std::to_string(std::max<std::int64_t>(seconds, 1)) + " s left";
  const std::int64_t minutes = (seconds + 30) / 60;
  if (minutes < 60) return "about " + std::to_string(minutes) + " min left";
  const std::string hours = "about " + std::to_string(minutes / 60) + " h";
  if (minutes % 60 == 0) return hours + " left";
  return hours + " " + std::to_string(minutes % 60) + " min left";
}

std::string copyProgressLine(const CopySample& sample, std::optional<double> bytesPerSecond,
                             std::optional<std::int64_t> secondsLeft) {
  const double fraction = std::clamp(sample.fraction, 0.0, 1.0);
  std::string bar(static_cast<std::size_t>(fraction * kBarWidth), '#');
  bar.resize(kBarWidth, '-');
  std::string line = "[" + bar + "] " + std::to_string(static_cast<int>(fraction * 100)) + "% · " +
                     platform::formatFileByteCount(sample.bytesDone);
  if (sample.totalBytes > 0) line += " of " + platform::formatFileByteCount(sample.totalBytes);
  if (bytesPerSecond && *bytesPerSecond < 1.0) {
    line += " · stalled";
  } else if (bytesPerSecond) {
    line += " · " + platform::formatFileByteCount(std::llround(*bytesPerSecond)) + "/s";
    if (secondsLeft) line += " · " + timeLeftText(*secondsLeft);
  }
  if (!sample.currentFile.empty()) line += " · " + shownFileName(sample.currentFile);
  return line;
}

MoveProgressPrinter::MoveProgressPrinter(std::ostream& out, OutputKind kind,
                                         std::function<Clock::time_point()> now)
    : out_(out), kind_(kind), now_(std::move(now)) {}

void MoveProgressPrinter::phaseChanged(const MoveManifest& job) {
  auto& last = phases_[job.id];
  const std::string status = job.statusMessage.value_or("");
  if (last.first == job.phase && last.second == status) return;
  if (!last.second.empty() && last.first == job.phase && status.starts_with("Hashing ") &&
      last.second.starts_with("Hashing ") && status.substr(0, 14) == last.second.substr(0, 14)) {
    last.second = status;  // percentage steps of the same hashing pass: keep the output short
    if (!status.ends_with("100%")) return;
  }
  endBar();
  last = {job.phase, status};
  lastPlainLine_.reset();  // a new phase shows its first copy line at once
  out_ << quotedPhase(job) << (status.empty() ? "" : ": " + status) << "\n" << std::flush;
}

void MoveProgressPrinter::tick(const mover::LocalFolderMover& mover) {
  for (const auto& job : mover.jobs()) {
    if (job.phase == MovePhase::kHashing) {
      if (auto count = mover.hashedCount(job.id)) showHashing(*count);
      continue;
    }
    if (job.phase == MovePhase::kCleaningUp) {
      if (auto count = mover.linkedCount(job.id)) showLinking(*count);
      continue;
    }
    if (job.phase != MovePhase::kCopying) continue;
    auto p = mover.progress(job.id);
    if (!p) continue;
    auto total = totals_.find(job.id);
    if (total == totals_.end()) {
      const auto survey = surveyTree(job.src);
      total = totals_.emplace(job.id, survey ? survey->apparentBytes : 0).first;
    }
    showCopy(job.id, CopySample{.fraction = p->fraction,
                                .bytesDone = p->bytesTransferred,
                                .totalBytes = total->second,
                                .currentFile = mover.currentFile(job.id)});
  }
}

void MoveProgressPrinter::showCopy(const std::string& jobId, const CopySample& sample) {
  const auto now = now_();
  RateEstimate& rate = rates_[jobId];
  rate.addSample(now, sample.bytesDone);
  showProgress(
      copyProgressLine(sample, rate.bytesPerSecond(),
                       sample.totalBytes > 0 ? rate.secondsLeft(sample.totalBytes) : std::nullopt));
}

void MoveProgressPrinter::showHashing(const mover::HashedCount& count) {
  showProgress(hashedCountLine(count));
}

void MoveProgressPrinter::showLinking(const mover::LinkedCount& count) {
  showProgress(linkedCountLine(count));
}

void MoveProgressPrinter::showProgress(const std::string& line) {
  const auto now = now_();
  if (line == lastBar_) return;
  lastBar_ = line;
  if (kind_ == OutputKind::kTerminal) {
    out_ << "\r" << line << "\x1b[K" << std::flush;
    barShown_ = true;
    return;
  }
  if (lastPlainLine_ && now - *lastPlainLine_ < kPlainLineInterval) return;
  lastPlainLine_ = now;
  out_ << line << "\n" << std::flush;
}

void MoveProgressPrinter::endBar() {
  if (barShown_) out_ << "\n";
  barShown_ = false;
}

}  // namespace brimvale::app
