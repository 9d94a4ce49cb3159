// The small line formats of the state files: TSV rows, key=value files and
// NDJSON appends.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/error.h"

namespace brimvale {

// ASCII letters folded; other bytes (UTF-8 included) stay as they are.
[[nodiscard]] std::string asciiLower(std::string_view text);
[[nodiscard]] std::string asciiUpper(std::string_view text);
// A state's raw name in words for text output ("waitingForDrive" gives
// "waiting for drive"); files and JSON keep the raw name.
[[nodiscard]] std::string rawInWords(std::string_view raw);
// Without the blanks (spaces, tabs, line ends) at either end.
[[nodiscard]] std::string trimmed(std::string_view text);

// `text` as one shell word that a POSIX shell reads back byte for byte (as
// bash's printf %q does, in its quoting style): plain words stay as they
// are; anything else is wrapped in single quotes, a single quote written as
// '\''. Every path shown inside a command the user may paste goes through it.
[[nodiscard]] std::string shellQuoted(std::string_view text);

// The items with `between` between each two.
[[nodiscard]] std::string joinedWith(const std::vector<std::string>& items,
                                     std::string_view between);

// Rows as lines of columns padded to each column's widest cell (two spaces
// between columns; the last column is not padded), each line after `indent`.
[[nodiscard]] std::string alignedColumns(const std::vector<std::vector<std::string>>& rows,
                                         std::string_view indent = "");

// "a", "a and b", "a, b and c".
[[nodiscard]] std::string listedInWords(const std::vector<std::string>& items);

// `path` moved from below the folder `from` to below `to` ("/a/x" from "/a" to "/b" is "/b/x");
// nothing when `path` is not strictly below `from`.
[[nodiscard]] std::optional<std::string> rebasedPath(std::string_view path, std::string_view from,
                                                     std::string_view to);

// Splits at every tab; "a\t\tb" gives three fields, "" gives one empty field.
[[nodiscard]] std::vector<std::string> splitTsv(std::string_view line);
// Joins with tabs. Tabs and newlines inside a field would break the row, so
// they are replaced by a blank.
[[nodiscard]] std::string joinTsv(const std::vector<std::string>& fields);

// A path or text as one field of a line-based record (TSV row, key=value
// line): a tab, newline, carriage return and backslash become \t \n \r \\,
// so the exact bytes come back. Decoding leaves a backslash before any other
// character (as in rows written before escaping) as it is.
[[nodiscard]] std::string escapedLineField(std::string_view field);
[[nodiscard]] std::string unescapedLineField(std::string_view field);

// key=value lines in file order. Lines without '=' are skipped; the key is the
// text before the first '=', the value everything after it (untrimmed).
using KeyValues = std::vector<std::pair<std::string, std::string>>;
[[nodiscard]] KeyValues parseKeyValues(std::string_view text);
// One "key=value\n" per pair. Newlines in values are replaced by a blank so a
// value can never forge another key.
[[nodiscard]] std::string renderKeyValues(const KeyValues& pairs);
// The last value of `key`, if present.
[[nodiscard]] std::optional<std::string> findValue(const KeyValues& pairs, std::string_view key);

// Appends one JSON document and a newline.
[[nodiscard]] Result<void> appendNdjsonLine(const std::filesystem::path& path,
                                            std::string_view json);

// Splits text into lines at '\n'; a trailing newline does not add an empty line.
[[nodiscard]] std::vector<std::string_view> splitLines(std::string_view text);

[[nodiscard]] std::string_view trimBlanks(std::string_view text);  // spaces and tabs

// The last line of a program's output with something on it, trimmed of blanks;
// empty when there is none. Failures quote it as the program's own cause.
[[nodiscard]] std::string_view lastNonBlankLine(std::string_view text);

// The runs of `text` between separator characters, as a shell splits words:
// leading, trailing and repeated separators give no empty fields.
[[nodiscard]] std::vector<std::string_view> splitFields(std::string_view text,
                                                        std::string_view separators = " \t");

}  // namespace brimvale
