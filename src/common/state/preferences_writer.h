// The application's side of `brim-vale.conf`: the preferences window's
// writer, which rewrites only its own keys and leaves every other line as it
// was, and the scalar reader the windows use to show the current values.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/error.h"

namespace brimvale {

// Key/value pairs in the order the window supplies them; a key given twice
// takes its later value.
using PreferenceValues = std::vector<std::pair<std::string, std::string>>;

// The value as written after "KEY=": '' when empty; bare when made only of
// ASCII letters, digits, '.' and '_'; otherwise single-quoted with each ' as
// '\'' and each '\n' or '\r' as a blank (a value cannot span lines).
[[nodiscard]] std::string encodePreferenceValue(std::string_view value);

// The file text after saving `values` into `original`. Every assignment line
// of a saved key (an "export " prefix included) is replaced by KEY=encoded;
// keys with no line are appended in ascending key order under the header
// "# --- Set by the Preferences window ---", after one empty line unless the
// file already ends with one. Keys must be shell names ([A-Za-z_][A-Za-z0-9_]*).
// The result ends with a newline, so a later append cannot join two lines.
[[nodiscard]] std::string applyPreferences(std::string_view original,
                                           const PreferenceValues& values);

// Rewrites the file at `path` with applyPreferences(), through the temporary
// sibling "{path}.tmp.{pid}" renamed into place, so the service never reads a
// half-written file. A missing file counts as empty. A file that exists but
// cannot be read is left untouched and its error returned: rewriting it from
// nothing would lose the drive, the rules and every other setting. A key that
// is not a shell name gives Errc::kInvalidArgument and writes nothing.
[[nodiscard]] Result<void> savePreferences(const std::filesystem::path& path,
                                           const PreferenceValues& values);

// The scalar value of `key` as the windows show it; the later assignment wins.
// Per line (comments and blank lines skipped): an "export " prefix is dropped,
// the key is the trimmed text before the first '=', the value the rest. An
// unquoted value is cut at its first '#'. The value is trimmed and a matching
// pair of surrounding quotes removed, undoing what the writer and the
// installer write: '\'' inside single quotes, and \" \\ \$ inside double
// quotes, stand for the second character. `$HOME` is not expanded. An array
// assignment ("KEY=(") has no scalar value: nothing is returned for it.
[[nodiscard]] std::optional<std::string> readConfigValue(std::string_view text,
                                                         std::string_view key);

}  // namespace brimvale
