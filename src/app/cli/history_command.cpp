#include "app/cli/history_command.h"

#include <algorithm>
#include <cctype>

#include "app/core/history_svg.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/state/rule_text.h"

namespace brimvale::app {
namespace {

constexpr std::size_t kDefaultColumns = 80;
constexpr long long kNarrowestColumns = 20;
constexpr long long kWidestColumns = 1000;
constexpr std::size_t kSparkIndent = 2;
constexpr mode_t kChartMode = 0644;  // an image the user may share or open in other programs

bool namesUtf8(std::string_view locale) {
  std::string lower(locale);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
}

}  // namespace

HistoryTerminal terminalFromEnvironment(const std::function<const char*(const char*)>& lookup) {
  HistoryTerminal terminal;
  if (const char* columns = lookup("COLUMNS")) {
    const auto width = wholeNumber(trimBlanks(columns));
    if (width && *width >= kNarrowestColumns && *width <= kWidestColumns) {
      terminal.columns = static_cast<std::size_t>(*width);
    }
  }
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* locale = lookup(name);
    if (locale == nullptr || *locale == '\0') continue;
    if (namesUtf8(locale)) terminal.glyphs = SparkGlyphs::kBlocks;
    break;
  }
  return terminal;
}

int historyCommand(HistoryCommandHost& host, const HistoryOptions& options) {
  if (options.days && *options.days < 1) {
    host.err << "--days needs a whole number of days, 1 or more, for example `brimvale history "
                "--days 7`. Nothing was changed.\n";
    return 2;
  }
  auto text = readFile(host.historyFile);
  if (!text && text.error().code != Errc::kNotFound) {
    host.err << "The usage history " << host.historyFile.string()
             << " could not be read, so there is nothing to draw. Your data is safe; check that "
                "the file is readable and run `brimvale history` again. Raw error: "
             << text.error().message() << "\n";
    return 1;
  }
  const HistoryRows parsed = parseHistory(text.value_or(""));
  const std::vector<HistoryRow> rows =
      options.days
          ? rowsSince(parsed.rows, host.now - static_cast<std::time_t>(*options.days) * 86'400)
          : parsed.rows;
  if (rows.empty()) {
    host.out << (options.json          ? emptyHistoryJson(parsed.skippedLines)
                 : parsed.rows.empty() ? emptyHistorySentence(parsed.skippedLines)
                                       : noRecentRowsSentence(*options.days));
    return 0;
  }
  const BucketedHistory history = bucketHistory(
      rows, std::max<std::size_t>(host.terminal.columns, kSparkIndent + 1) - kSparkIndent);
  if (!options.svgFile.empty()) {
    if (auto written =
            writeFileAtomically(options.svgFile, historySvg(history), {.mode = kChartMode});
        !written) {
      host.err << "The chart could not be written to " << options.svgFile
               << ". Your usage history is unchanged; choose a folder you can write to and run "
                  "the command again. Raw error: "
               << written.error().message() << "\n";
      return 1;
    }
    if (!options.json) host.out << "Chart of free space written to " << options.svgFile << ".\n";
  }
  if (options.json) {
    host.out << historyJson(history, parsed.skippedLines);
  } else if (options.svgFile.empty()) {
    host.out << renderHistoryText(history, parsed.skippedLines, host.terminal.glyphs);
  }
  return 0;
}

}  // namespace brimvale::app
