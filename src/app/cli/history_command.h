// `brimvale history [--days N] [--svg FILE] [--json]`: internal (and drive)
// free space over time, read from the usage history the application records.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "app/core/history_report.h"

namespace brimvale::app {

struct HistoryOptions {
  std::optional<int> days;  // only rows this many days back from now
  std::string svgFile;      // empty: no chart file
  bool json = false;
};

// How wide the sparkline may be and which marks the terminal can show.
struct HistoryTerminal {
  std::size_t columns = 80;
  SparkGlyphs glyphs = SparkGlyphs::kAscii;
};

// From COLUMNS (80 when missing or not a sensible width) and the locale
// variables LC_ALL, LC_CTYPE, LANG (the first one set decides; blocks only for
// a UTF-8 locale). `lookup` returns nullptr for an unset variable.
[[nodiscard]] HistoryTerminal terminalFromEnvironment(
    const std::function<const char*(const char*)>& lookup);

struct HistoryCommandHost {
  std::filesystem::path historyFile;
  std::time_t now = 0;
  HistoryTerminal terminal;
  std::ostream& out;
  std::ostream& err;
};

// 0 when drawn, written or when there is nothing to draw yet (a missing file
// is an empty history); 1 when the history cannot be read or the chart cannot
// be written (nothing else changed); 2 for --days below 1. Corrupt lines never
// fail the command: they are counted and reported.
[[nodiscard]] int historyCommand(HistoryCommandHost& host, const HistoryOptions& options);

}  // namespace brimvale::app
