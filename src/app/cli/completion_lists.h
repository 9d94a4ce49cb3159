// The lists shell completion asks `brimvale` for, whose words change as the
// program is used: move ids and cloud remote names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/cli/command_context.h"

namespace brimvale::app {

// The names of the lists: "move-ids", "remotes".
[[nodiscard]] std::vector<std::string> completionLists();

// Prints `list`, one word per line. Reads only: a missing record folder or
// an absent rclone gives no words, and the exit status is always 0 so a
// shell's completion never shows an error.
int printCompletionList(CommandContext& c, std::string_view list);

}  // namespace brimvale::app
