// `brimvale settings [KEY [VALUE]]`: lists, shows and changes the settings of
// the catalogue, in the user defaults or in the service's configuration file.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "platform/user_defaults.h"

namespace brimvale::app {

struct SettingsCommandContext {
  std::filesystem::path configFile;  // brim-vale.conf
  platform::UserDefaults& defaults;
  std::ostream& out;
  std::ostream& err;
};

enum class SettingsFormat { kText, kJson };

// No argument: every setting with its value, allowed values and meaning.
// KEY: its value alone (with kJson, its whole record). KEY VALUE: checks the
// value, then writes it; configuration keys go through the preferences
// writer, which keeps every other line of the file.
// Exit status: 0 done; 2 an unknown key, a value it cannot take or too many
// arguments, with nothing written; 1 the store could not be read or written,
// or a configuration key was given before the service was installed.
[[nodiscard]] int settingsCommand(SettingsCommandContext& c, const std::vector<std::string>& args,
                                  SettingsFormat format);

// Every setting name beside the key it stands for, for the command's help.
[[nodiscard]] std::string settingsNames();

}  // namespace brimvale::app
