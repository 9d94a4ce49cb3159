// `brimvale remotes`: the remotes rclone knows, the kinds it can add, adding
// one (its secret into the vault), showing and editing one, a connection
// test (its failure explained), removal, browsing a
// remote folder, and setting aside a vault that can no longer be opened.
#pragma once

#include <atomic>
#include <functional>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/rclone_auth.h"
#include "cloud/rclone_locator.h"
#include "cloud/remote_metadata.h"
#include "cloud/secret_vault.h"
#include "common/base/error.h"

namespace brimvale::app {

// Shown before a remote is removed.
inline constexpr std::string_view kRemoveRemoteWarning =
    "This deletes the rclone configuration for this account. Your data on Google Drive / Google "
    "Photos is not affected. You can re-add the account later.";

struct RemotesCommandContext {
  std::optional<std::string> rclone;
  std::ostream& out;
  std::ostream& err;
  ProcessRunner runner;  // how rclone is run
  // The user's vault, for vault-reset; none where it cannot be opened.
  cloud::SecretVault* vault = nullptr;
  // For add and edit: the remotes' details records, the options given, and
  // how the secret is asked (the terminal without echo, or standard input).
  cloud::RemoteMetadataStore* details = nullptr;
  std::map<std::string, std::string> addOptions;
  std::function<Result<std::string>(const std::string& prompt)> askSecret;
  // For remove and a browser delete: where the [y/N] answer comes from,
  // whether it is a terminal, and --yes.
  std::istream* in = nullptr;
  bool interactive = false;
  bool yes = false;
  // For sign-in: how the sign-in page is opened (none: the system's default
  // browser), and a flag that cancels the sign-in once set.
  cloud::BrowserOpener openBrowser;
  const std::atomic<bool>* cancel = nullptr;
};

// `words` is the action and its arguments: none or "list", "types",
// "add TYPE NAME", "sign-in TYPE NAME" (browser types; "client-id" the one
// option, its secret asked when given), "show NAME" (an S3 remote's warnings too), "edit NAME",
// "fix-region NAME", "test NAME", "remove NAME", "browse NAME:PATH [new-folder|delete]",
// "vault-reset". The exit status: 0 done, 1 rclone failed or the test did not connect, 2 bad usage.
int remotesCommand(RemotesCommandContext& context, const std::vector<std::string>& words,
                   bool json);

}  // namespace brimvale::app
