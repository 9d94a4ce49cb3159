#include "mover/mover_log.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/uuid.h"
#include "mover/manifest.h"

namespace brimvale::mover {
std::string_view sourceRaw(MoverLogSource source) {
  return rawNameOf(kMoverLogSourceNames, source);
}

namespace {

enum class WithDate { kNo, kYes };

// Everything a formatted line shows before its text.
std::string formattedPrefix(const MoverLogLine& line, WithDate withDate) {
  using namespace std::chrono;
  const auto since = line.timestamp.time_since_epoch();
  const std::time_t secs = duration_cast<seconds>(since).count();
  const int millis = static_cast<int>(duration_cast<milliseconds>(since).count() % 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char time[48];
  if (withDate == WithDate::kYes) {
    std::snprintf(time, sizeof time, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  } else {
    std::snprintf(time, sizeof time, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  millis);
  }
  std::string source(sourceRaw(line.source));
  source.resize(8, ' ');
  const std::string tag =
      line.jobID ? "[" + asciiUpper(line.jobID->substr(0, 8)) + "]" : "[--------]";
  return std::string(time) + " [" + source + "] " + tag + " ";
}

std::string formattedLine(const MoverLogLine& line, WithDate withDate) {
  return formattedPrefix(line, withDate) + line.text;
}

// Whether a formatted line ("... [phase   ] [1A2B3C4D] text") tells the move's story.
bool isPhaseLine(std::string_view shown) {
  const auto open = shown.find(" [");
  if (open == std::string_view::npos) return false;
  const auto close = shown.find(']', open);
  if (close == std::string_view::npos) return false;
  std::string_view source = shown.substr(open + 2, close - open - 2);
  while (source.ends_with(' ')) source.remove_suffix(1);
  return source == sourceRaw(MoverLogSource::kPhase) ||
         source == sourceRaw(MoverLogSource::kEnqueue);
}

}  // namespace

std::string formatted(const MoverLogLine& line) { return formattedLine(line, WithDate::kNo); }

std::string datedFormatted(const MoverLogLine& line) { return formattedLine(line, WithDate::kYes); }

void MoverLog::append(MoverLogSource source, std::string text, std::optional<std::string> jobID) {
  std::vector<std::string> texts;
  texts.push_back(std::move(text));
  appendAll(source, std::move(texts), std::move(jobID));
}

void MoverLog::appendAll(MoverLogSource source, std::vector<std::string> texts,
                         std::optional<std::string> jobID) {
  if (texts.empty()) return;
  const auto now = std::chrono::system_clock::now();
  std::vector<std::string> ids = newUuids(texts.size());
  std::vector<MoverLogLine> added;
  added.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i)
    added.push_back(MoverLogLine{std::move(ids[i]), now, jobID, source, std::move(texts[i])});
  if (observer_) observer_(added);
  for (auto& line : added) lines_.push_back(std::move(line));
  while (lines_.size() > kCapacity) lines_.pop_front();
}

MoverLogFile::MoverLogFile(std::filesystem::path stateDir) : file_(stateDir / "mover-log.txt") {}

MoverLogFile::~MoverLogFile() { closeFile(); }

void MoverLogFile::closeFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool MoverLogFile::appendLine(std::string_view bytes) {
  // Another writer trimming the file renames a new one over it; our open
  // handle would then point at an unlinked file and the line would be lost.
  struct stat st {};
  if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || st.st_nlink == 0)) closeFile();
  if (fd_ < 0) fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closeFile();
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void MoverLogFile::write(std::span<const MoverLogLine> lines) {
  // Lines appended together share their time, source and move, so each
  // batch formats that part once.
  std::string bytes;
  std::string prefix;
  const MoverLogLine* prefixOf = nullptr;
  for (const auto& line : lines) {
    if (!prefixOf || line.timestamp != prefixOf->timestamp || line.source != prefixOf->source ||
        line.jobID != prefixOf->jobID) {
      std::string shown = formattedPrefix(line, WithDate::kYes);
      for (char& c : shown) {
        if (c == '\n' || c == '\r') c = ' ';
      }
      prefix = (line.jobID ? asciiUpper(*line.jobID) : std::string("-")) + "\t" + shown;
      prefixOf = &line;
    }
    bytes += prefix;
    const std::size_t textAt = bytes.size();
    bytes += line.text;
    for (std::size_t i = textAt; i < bytes.size(); ++i) {
      if (bytes[i] == '\n' || bytes[i] == '\r') bytes[i] = ' ';
    }
    bytes += '\n';
  }
  (void)appendLine(bytes);
  const std::size_t before = written_;
  written_ += lines.size();
  if (written_ / kTrimEvery == before / kTrimEvery) return;
  auto onFile = readLastLines(file_, 2 * MoverLog::kCapacity + 1);
  if (onFile.size() <= 2 * MoverLog::kCapacity) return;
  std::string kept;
  for (std::size_t i = onFile.size() - MoverLog::kCapacity; i < onFile.size(); ++i)
    kept += onFile[i] + "\n";
  // The trim renames a new file into place; the next line must go there.
  closeFile();
  (void)writeFileAtomically(file_, kept);
}

std::vector<std::string> MoverLogFile::read(std::string_view jobPrefix,
                                            MoverLogDetail detail) const {
  const std::string prefix = asciiUpper(jobPrefix);
  std::vector<std::string> out;
  for (const auto& line : readLastLines(file_, MoverLog::kCapacity)) {
    auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    if (!prefix.empty() && line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string shown = line.substr(tab + 1);
    if (detail == MoverLogDetail::kPhases && !isPhaseLine(shown)) continue;
    out.push_back(std::move(shown));
  }
  return out;
}

}  // namespace brimvale::mover
