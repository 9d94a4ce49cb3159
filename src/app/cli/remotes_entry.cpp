#include "app/cli/remotes_entry.h"

#include <unistd.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "app/cli/json_option.h"
#include "app/cli/secret_prompt.h"
#include "app/core/remote_add.h"
#include "app/core/remotes_command.h"
#include "cloud/pepper_store.h"
#include "cloud/rclone_auth.h"
#include "cloud/rclone_locator.h"

namespace brimvale::app {
namespace {

struct RemotesOptions {
  std::vector<std::string> request;
  // remotes add TYPE NAME --key value ...
  std::map<std::string, std::string> addOptions;
  bool yes = false;  // remove|browse ... --yes
  bool json = false;
};

void options(CLI::App& sub, RemotesOptions& o) {
  sub.add_option("request", o.request,
                 "list (default) | types | add TYPE NAME | sign-in TYPE NAME | show NAME | edit "
                 "NAME | test NAME | remove "
                 "NAME | browse "
                 "NAME:PATH [new-folder|delete] | vault-reset");
  declareRemoteAddOptions(sub, o.addOptions);
  sub.add_option_function<std::string>(
      "--client-id", [&o](const std::string& value) { o.addOptions["client-id"] = value; },
      "sign-in: your own OAuth client's ID (its secret is asked)");
  sub.add_flag("-y,--yes", o.yes, "remove, or browse ... delete, without asking first");
  jsonOption(sub, o.json);
}

int remotes(CommandContext& c, RemotesOptions& o) {
  const ProcessRunner run = platform::runnerOf(*c.base.launcher);
  const auto location = cloud::vaultLocation(*c.host.defaults, homeFolder());
  const auto pepper = cloud::makeHostPepperStore(location.secretsDir);
  cloud::SecretVault vault(location, *pepper, cloud::hostFingerprint(run).text);
  cloud::RemoteMetadataStore details(cloud::MetadataFiles::inStateFolder(c.paths.state),
                                     cloud::hostFingerprint(run), std::nullopt);
  RemotesCommandContext rc{.rclone = cloud::locateRclone(cloud::defaultRcloneSearch(), run),
                           .out = c.out,
                           .err = c.err,
                           .runner = run,
                           .vault = &vault,
                           .details = &details,
                           .addOptions = o.addOptions,
                           .askSecret = [&c](const std::string& prompt) {
                             return readSecret(STDIN_FILENO, prompt, c.err);
                           }};
  rc.in = &std::cin;
  rc.interactive = isatty(STDIN_FILENO) == 1;
  rc.yes = o.yes;
  return remotesCommand(rc, o.request, o.json);
}

}  // namespace

CommandEntry remotesEntry() {
  return commandEntry<RemotesOptions>(
      "remotes",
      "cloud remotes: `remotes` lists them (--json), `remotes types` the kinds rclone can "
      "add, `remotes add TYPE NAME --host H ...` adds one (its secret typed or piped on "
      "standard input, kept in the vault), `remotes sign-in "
      "drive|googlephotos|dropbox|onedrive|box "
      "NAME` signs an account in through the browser, `remotes show NAME` its settings, `remotes "
      "edit "
      "NAME --port P ...` changes them (an empty secret keeps the current one), `remotes "
      "fix-region NAME` replaces an S3 availability zone in the region by its region, `remotes "
      "test "
      "NAME` checks that one answers and explains why not, "
      "`remotes remove NAME [--yes]`, `remotes browse NAME:PATH` lists a remote folder, "
      "`remotes browse NAME:PATH new-folder` makes one, `remotes browse NAME:PATH "
      "delete [--yes]` deletes one file or empty folder, "
      "`remotes vault-reset` sets aside a credential vault that can no longer be opened",
      options, remotes);
}

}  // namespace brimvale::app
