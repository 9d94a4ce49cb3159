// `brimvale remotes`: the remotes rclone knows, the kinds it can add, a
// connection test of one remote, and setting aside a credential vault that
// can no longer be opened. Adding and removing remotes, whose secrets live
// in the vault, are left to the window.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cloud/rclone_locator.h"
#include "cloud/secret_vault.h"

namespace brimvale::app {

struct RemotesCommandContext {
  std::optional<std::string> rclone;
  std::ostream& out;
  std::ostream& err;
  cloud::ProcessRunner runner = runProcess;
  // The user's vault, for vault-reset; none where it cannot be opened.
  cloud::SecretVault* vault = nullptr;
};

// `words` is the action and its argument: none or "list", "types", "test NAME",
// "vault-reset".
// The exit status: 0 done, 1 rclone failed or the test did not connect, 2 bad usage.
int remotesCommand(RemotesCommandContext& context, const std::vector<std::string>& words,
                   bool json);

}  // namespace brimvale::app
