// What `brimvale` says when its command line cannot be read: one plain
// sentence naming what is missing or wrong, and exit status 2.
#pragma once

#include <iosfwd>

#include <CLI/CLI.hpp>

namespace brimvale::app {

// Exit status of every command-line mistake.
inline constexpr int kUsageExit = 2;

// Reports `error`, thrown while `cli` parsed, and returns the exit status:
// help and version go to `out` with 0, mistakes to `err` with kUsageExit.
[[nodiscard]] int reportParseError(const CLI::App& cli, const CLI::ParseError& error,
                                   std::ostream& out, std::ostream& err);

}  // namespace brimvale::app
