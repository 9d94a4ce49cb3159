#include "service/drive_transfer/transfer_progress.h"

#include <vector>

#include "common/base/text_formats.h"

namespace brimvale::service {
namespace {

std::vector<std::string_view> progressLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool hasDigitsPercent(std::string_view line) {
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '%' && isDigit(line[i - 1])) return true;
  }
  return false;
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

// H:MM:SS with hours of any length.
std::optional<std::uint64_t> etaOf(std::string_view field) {
  std::size_t first = field.find(':');
  if (first == std::string_view::npos || field.size() != first + 6 || field[first + 3] != ':') {
    return std::nullopt;
  }
  std::string_view h = field.substr(0, first), m = field.substr(first + 1, 2),
                   s = field.substr(first + 4, 2);
  if (!allDigits(h) || !allDigits(m) || !allDigits(s) || h.size() > 12) return std::nullopt;
  return std::stoull(std::string(h)) * 3600 + std::stoull(std::string(m)) * 60 +
         std::stoull(std::string(s));
}

bool isSummaryLine(std::string_view line) {
  return hasDigitsPercent(line) || line.find("bytes/sec") != std::string_view::npos ||
         line.find("total size") != std::string_view::npos ||
         line.find("sending incremental") != std::string_view::npos || line.starts_with("sent ") ||
         line.starts_with("total ");
}

}  // namespace

std::optional<ProgressFold> foldProgress(std::string_view logTail) {
  std::vector<std::string_view> lines = progressLines(logTail);
  std::optional<std::string_view> stat;
  std::string_view current;
  for (std::string_view line : lines) {
    if (hasDigitsPercent(line)) stat = line;
    if (!line.empty() && !isSummaryLine(line)) current = line;
  }
  if (!stat) return std::nullopt;
  ProgressFold fold;
  fold.currentFile = std::string(current);
  std::vector<std::string_view> fields = splitFields(*stat);
  if (!fields.empty()) {
    for (char c : fields[0]) {
      if (c != ',') fold.bytesDone += c;
    }
  }
  bool havePercent = false, haveRate = false, haveEta = false;
  for (std::string_view f : fields) {
    if (!havePercent && f.ends_with('%')) {
      fold.percent = std::string(f.substr(0, f.size() - 1));
      havePercent = true;
    } else if (!haveRate && f.ends_with("B/s")) {
      fold.rate = std::string(f);
      haveRate = true;
    } else if (!haveEta) {
      if (auto eta = etaOf(f)) {
        fold.etaSeconds = *eta;
        haveEta = true;
      }
    }
  }
  return fold;
}

bool checksumPassIsClean(std::string_view itemizeOutput) {
  for (std::string_view line : progressLines(itemizeOutput)) {
    if (line.starts_with("*deleting") || line.starts_with('<') || line.starts_with('>') ||
        line.starts_with('c')) {
      return false;
    }
  }
  return true;
}

}  // namespace brimvale::service
