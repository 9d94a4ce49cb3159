// `brimvale junk`: the scrap board from the command line — list, add a text
// or a note or an image, save the clipboard, pin, unpin, change a lifetime,
// delete, copy back to the clipboard or save into a folder, clear, search and
// settings.
#pragma once

#include <filesystem>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/confirm_hook.h"
#include "junk/junk_store.h"
#include "platform/clipboard.h"
#include "platform/platform.h"
#include "platform/user_defaults.h"

namespace CLI {
class App;
}

namespace brimvale::app {

struct JunkOptions {
  std::string action;              // list (default), add, note, pin, ...
  std::vector<std::string> words;  // the action's arguments
  std::string filter = "all";      // list, search: a board filter
  std::string date = "any";        // list, search: a date filter
  std::string ttl;                 // add, note: a lifetime such as h6
  std::string sort;                // list: size, age or name; empty: the board's order
  bool json = false;
  bool yes = false;      // clear without asking
  bool dryRun = false;   // clear: show what would go, changing nothing
  bool replace = false;  // save: replace a different file of the same name
};

struct JunkCommandContext {
  std::filesystem::path stateDir;  // ~/.brimvale/state
  std::filesystem::path home;      // where `save` may write
  platform::UserDefaults& defaults;
  platform::ProcessLauncher& launcher;  // starts the clipboard holder
  junk::JunkClock clock = junk::junkSystemClock();
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // Whether `in` is a terminal, where `note` says how to end the note.
  bool inIsTerminal = false;
  // Decides on clearing the board; empty: go ahead.
  ConfirmHook confirm = {};
  // Opens the desktop's clipboard for `capture`; empty: the X display DISPLAY names.
  std::function<Result<std::unique_ptr<platform::Clipboard>>()> openClipboard = {};
};

// The command's arguments and options, on the subcommand CLI11 made for it.
void addJunkOptions(CLI::App& sub, JunkOptions& options);

// The header of a list: "1 scrap on the board", "3 scraps on the board".
[[nodiscard]] std::string junkCountLine(std::size_t count);

// The exit status: 0 done, 1 failed (the sentence on err says whether the
// board is safe), 2 bad usage.
int junkCommand(JunkCommandContext& context, const JunkOptions& options);

}  // namespace brimvale::app
