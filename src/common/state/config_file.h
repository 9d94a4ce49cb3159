// Reader of the service configuration file `brim-vale.conf`: the small
// shell-assignment subset the installer, the preferences window, the rule
// editor and `select-drive` write, parsed without ever running a shell.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale {

// One assigned name. Arrays keep only their non-empty elements.
struct ConfigValue {
  bool isArray = false;
  std::string scalar;                 // valid when !isArray
  std::vector<std::string> elements;  // valid when isArray

  bool operator==(const ConfigValue&) const = default;
};

// Every assigned name, whatever it is; a name assigned twice holds the later value.
using ConfigValues = std::map<std::string, ConfigValue, std::less<>>;

// Parses the whole file. `home` replaces `$HOME` and `${HOME}` outside single
// quotes.
//
// Accepted, per line (leading blanks and a trailing '\r' are ignored):
//   # comment              blank lines too
//   [export ]KEY=VALUE[ # comment]
//   [export ]KEY=( ELEM ... )        elements may continue over several lines
// VALUE and ELEM are shell words made of concatenated segments: bare text
// (a backslash takes the next character literally), '...' (literal, so
// 'it'\''s' is it's) and "..." (\" \\ \$ stand for the second character).
// Nothing, '' and "" give the empty value; empty array elements are dropped.
//
// Never fails: a line that is not one of the forms above is skipped and the
// rest of the file is still read. In particular
//   - a value with an unterminated quote, a blank inside, or one of the shell
//     operators ; & | < > ( ) ` is skipped (values never span lines);
//   - an array that reaches the end of the file, or a line that starts a new
//     assignment, before its ')' is dropped whole, and reading resumes at
//     that line. So a bare array element written as NAME=... on a line of
//     its own ends the array; the rule editor always writes quoted elements;
//   - an array with a malformed element is dropped whole.
// A dropped assignment leaves any earlier assignment of the same name in effect.
[[nodiscard]] ConfigValues parseConfig(std::string_view text, std::string_view home);

// The name a line starts to assign ("[export ]NAME=", after blanks), as
// parseConfig sees it; nothing for comments, blanks and other lines. A writer
// that replaces a key must replace every line this names it on, or a later
// line keeps winning.
[[nodiscard]] std::optional<std::string> assignedName(std::string_view line);

}  // namespace brimvale
