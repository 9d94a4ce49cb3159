// brim-vale's command line: the start-up steps every invocation shares, and
// one table of subcommands that drives both dispatch and help.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

// Runs one invocation: prepares the state directory, then dispatches
// args[0] (default "status"). Returns the process exit status.
[[nodiscard]] int runService(ServiceContext& ctx, const std::vector<std::string>& args);

// Every first argument runService() accepts, aliases included, but for the
// hidden ones help does not list.
[[nodiscard]] std::vector<std::string_view> subcommandNames();

// What the program is for, as help opens with it.
inline constexpr std::string_view kServiceSummary =
    "smart storage management daemon for an always-attached external drive";

// An option a subcommand reads among its arguments.
struct SubcommandOption {
  std::string_view names;  // "-y --yes"
  std::string_view help;
};

struct SubcommandHelp {
  std::string_view name;
  std::string_view usage;  // the name with its arguments
  std::string_view help;
  std::span<const SubcommandOption> options;
  std::vector<std::string_view> firstWords;  // the only words its first argument may be
  std::vector<std::string_view> aliases;     // other names the row shows: "resume", "-h"
};

// The rows help shows, summary first, then by subsystem.
[[nodiscard]] std::vector<SubcommandHelp> subcommandHelp();

}  // namespace brimvale::service
