// One subcommand of `brimvale` as the command table lists it: its name, its
// help line, the options it declares and the handler that reads them.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include <CLI/CLI.hpp>

#include "app/cli/command_context.h"
#include "platform/app_platform.h"

namespace brimvale::app {

using CommandHandler = std::function<int(CommandContext&)>;

enum class ServiceUse { kNone, kRunsServiceProgram };

struct CommandEntry {
  std::string_view name;
  std::string_view help;
  // Declares the command's options on its CLI11 subcommand and returns its
  // handler, which owns the parsed values.
  std::function<CommandHandler(CLI::App& sub)> declare;
  // Whether the service the command starts ends with this process.
  platform::ServiceOwnership service = platform::ServiceOwnership::kOutlivesCaller;
  // Whether the command runs the installed service program: before the
  // installation such a command only says so.
  ServiceUse serviceUse = ServiceUse::kNone;
};

// The entry of a command whose options are an `Options` struct: `options`
// declares them (null: the command has none), `handler` runs with their
// parsed values.
template <class Options>
[[nodiscard]] CommandEntry commandEntry(std::string_view name, std::string_view help,
                                        void (*options)(CLI::App&, Options&),
                                        int (*handler)(CommandContext&, Options&)) {
  return {name, help, [options, handler](CLI::App& sub) -> CommandHandler {
            auto parsed = std::make_shared<Options>();
            if (options) options(sub, *parsed);
            return [parsed, handler](CommandContext& c) { return handler(c, *parsed); };
          }};
}

// The entry of a command without options.
[[nodiscard]] inline CommandEntry commandEntry(std::string_view name, std::string_view help,
                                               int (*handler)(CommandContext&)) {
  return {name, help, [handler](CLI::App&) -> CommandHandler {
            return [handler](CommandContext& c) { return handler(c); };
          }};
}

}  // namespace brimvale::app
