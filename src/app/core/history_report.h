// The usage history for the terminal and for scripts: free space as a
// sparkline with its dates and figures, the bucketed series as JSON, and the
// sentence shown while there is nothing to draw.
#pragma once

#include <cstddef>
#include <string>

#include "app/core/history_series.h"

namespace brimvale::app {

// Block characters for a UTF-8 terminal; eight ASCII marks everywhere else.
enum class SparkGlyphs { kBlocks, kAscii };

// One character per bucket, lowest value to highest of the series' buckets
// mapped onto the eight marks; a flat series sits in the middle, a gap is a
// blank.
[[nodiscard]] std::string sparkline(const HistorySeries& series, SparkGlyphs glyphs);

// The dates, the row count, the skipped-line count (when any), then per
// series a line "Label: now X · lowest Y · highest Z" and its sparkline.
[[nodiscard]] std::string renderHistoryText(const BucketedHistory& history,
                                            std::size_t skippedLines, SparkGlyphs glyphs);

// {"bucketSeconds", "from", "rows", "series": [{"freeGb": [mean or null per
// bucket], "latestGb", "maxGb", "minGb", "name"}], "skippedLines", "to"},
// pretty-printed with sorted keys; times in UTC.
[[nodiscard]] std::string historyJson(const BucketedHistory& history, std::size_t skippedLines);

// The same document for a history without rows: no times, no series.
[[nodiscard]] std::string emptyHistoryJson(std::size_t skippedLines);

// Says when rows will appear; mentions the skipped lines when there were any.
[[nodiscard]] std::string emptyHistorySentence(std::size_t skippedLines);

// The rows exist but none is as recent as `days` days.
[[nodiscard]] std::string noRecentRowsSentence(int days);

}  // namespace brimvale::app
