// `brimvale remotes`: the remotes rclone knows, the kinds it can add, and a
// connection test of one remote. Adding and removing remotes, whose secrets
// live in the vault, are left to the window.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cloud/rclone_locator.h"

namespace brimvale::app {

struct RemotesCommandContext {
  std::optional<std::string> rclone;
  std::ostream& out;
  std::ostream& err;
  cloud::ProcessRunner runner = runProcess;
};

// `words` is the action and its argument: none or "list", "types", "test NAME".
// The exit status: 0 done, 1 rclone failed or the test did not connect, 2 bad usage.
int remotesCommand(RemotesCommandContext& context, const std::vector<std::string>& words,
                   bool json);

}  // namespace brimvale::app
