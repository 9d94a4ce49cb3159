#include "app/cli/settings_entry.h"

#include <string>
#include <vector>

#include "app/core/settings_command.h"

namespace brimvale::app {
namespace {

struct SettingsOptions {
  std::vector<std::string> words;
  bool json = false;
};

void options(CLI::App& sub, SettingsOptions& o) {
  sub.add_option("words", o.words,
                 "NAME to show one setting, NAME VALUE to change it; excludes [add|remove ENTRY]");
  sub.add_flag("--json", o.json, "print as JSON");
  sub.footer(settingsNames());
}

int settings(CommandContext& c, SettingsOptions& o) {
  SettingsCommandContext sc{c.paths.config, *c.host.defaults, c.out, c.err};
  return settingsCommand(sc, o.words, o.json ? SettingsFormat::kJson : SettingsFormat::kText);
}

}  // namespace

CommandEntry settingsEntry() {
  return commandEntry<SettingsOptions>(
      "settings",
      "show or change settings: `settings` lists them with values, ranges and meanings; "
      "`settings NAME` shows one; `settings NAME VALUE` changes it; `settings excludes` lists "
      "the folders (with a /) and name patterns (without) that scans, clean-ups and rules "
      "leave alone, `settings excludes add|remove ENTRY` changes them",
      options, settings);
}

}  // namespace brimvale::app
