#include "app/cli/confirmation.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "common/base/text_formats.h"
#include "common/base/yes_answer.h"

namespace brimvale::app {

void confirmFlags(CLI::App& sub, ConfirmFlags& flags, const std::string& what) {
  sub.add_flag("-y,--yes", flags.yes, what + " without asking first");
  sub.add_flag("--dry-run", flags.dryRun, "show the plan, changing nothing");
}

ConfirmHook confirmation(const Asking& asking, ConfirmFlags flags) {
  return [asking, flags](const std::string& plan) {
    // Told to go ahead, the command's own report says what it did.
    if (flags.yes && !flags.dryRun) return Verdict::kGo;
    asking.out << plan << (plan.ends_with('\n') ? "" : "\n");
    if (flags.dryRun) {
      asking.out << "Dry run: nothing was changed.\n";
      return Verdict::kShownOnly;
    }
    if (!asking.terminal) {
      asking.err << noTerminalRefusal(asking.command) << "\n";
      return Verdict::kStopped;
    }
    asking.out << "Go ahead? [y/N] " << std::flush;
    if (readsYes(asking.in)) return Verdict::kGo;
    asking.out << "Nothing was changed.\n";
    return Verdict::kStopped;
  };
}

ConfirmHook confirmationHere(const CommandContext& c, ConfirmFlags flags) {
  std::string command = "brimvale";
  for (const auto& word : c.words) command += " " + shellQuoted(word);
  // Standard output of a --json command holds only its JSON: the plan and the question go beside.
  const bool json = std::ranges::find(c.words, "--json") != c.words.end();
  return confirmation({std::cin, isatty(STDIN_FILENO) == 1, json ? c.err : c.out, c.err, command},
                      flags);
}

std::string noTerminalRefusal(const std::string& command) {
  return "Brimvale asks before it moves or deletes your files, and there is no terminal here to "
         "ask on. Nothing was changed. Run it again from a terminal, or run `" +
         command + " --yes` to go ahead without being asked.";
}

}  // namespace brimvale::app
