#include "app/cli/usage_errors.h"

#include <ostream>
#include <string>
#include <vector>

#include "app/cli/command_table.h"
#include "common/base/nearest_name.h"
#include "common/base/text_formats.h"

namespace brimvale::app {
namespace {

const char* const kNothingChanged = " Nothing was changed.";

// The subcommands help shows: the completion listing stays unoffered.
std::vector<const CLI::App*> allSubcommands(const CLI::App& cli) {
  return cli.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

std::string shortUsage(const CLI::App& cli) {
  std::string names;
  for (const CLI::App* sub : allSubcommands(cli)) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return "Usage: brimvale " + std::string(kBrimvaleSynopsis) + "\nSubcommands: " + names +
         ".\nbrimvale needs a subcommand." + kNothingChanged +
         " Run \"brimvale --help\" for what each one does.\n";
}

std::string unknownSubcommand(const CLI::App& cli, const std::string& typed) {
  std::vector<std::string> names;
  for (const CLI::App* sub : allSubcommands(cli)) names.push_back(sub->get_name());
  const std::vector<std::string_view> known(names.begin(), names.end());
  std::string text = "brimvale has no subcommand \"" + typed + "\"." + kNothingChanged;
  if (const auto meant = nearestName(typed, known)) {
    text += " Did you mean \"" + std::string(*meant) + "\"?";
  }
  return text + " Run \"brimvale --help\" for the list.\n";
}

// "the folder to relocate (FOLDER)" for the first required argument not given.
std::string missingArgument(const CLI::App& sub) {
  for (const CLI::Option* option : sub.get_options()) {
    if (!option->get_required() || option->count() > 0) continue;
    const std::string name = option->get_name();
    return option->get_description() + " (" + (option->nonpositional() ? name : asciiUpper(name)) +
           ")";
  }
  return "more arguments";
}

std::string sentenceFor(const CLI::App& cli, const CLI::ParseError& error) {
  const auto chosen = cli.get_subcommands();
  const CLI::App* sub = chosen.empty() ? nullptr : chosen.front();
  const std::vector<std::string> leftovers = cli.remaining(true);
  if (sub == nullptr && !leftovers.empty() && !leftovers.front().starts_with('-')) {
    return unknownSubcommand(cli, leftovers.front());
  }
  if (sub == nullptr && leftovers.empty() && error.get_name() == "RequiredError") {
    return shortUsage(cli);
  }
  // A word brimvale itself could not place is its own, even after a subcommand.
  const std::string who =
      sub && cli.remaining().empty() ? "brimvale " + sub->get_name() : "brimvale";
  const std::string forHelp = " Run \"" + who + " --help\" for what it takes.\n";
  if (!leftovers.empty()) {
    return who + " does not take \"" + leftovers.front() + "\"." + kNothingChanged + forHelp;
  }
  if (sub != nullptr && error.get_name() == "RequiredError") {
    return who + " needs " + missingArgument(*sub) + "." + kNothingChanged + forHelp;
  }
  return who + " cannot use what was given (" + error.what() + ")." + kNothingChanged + forHelp;
}

}  // namespace

int reportParseError(const CLI::App& cli, const CLI::ParseError& error, std::ostream& out,
                     std::ostream& err) {
  if (error.get_exit_code() == 0) {
    return cli.exit(error, out, err);  // help and version, printed by CLI11
  }
  err << sentenceFor(cli, error);
  return kUsageExit;
}

}  // namespace brimvale::app
