#include "app/remotes_command.h"

#include <nlohmann/json.hpp>

#include "cloud/rclone_client.h"
#include "cloud/rclone_helper.h"
#include "cloud/remote.h"
#include "cloud/remote_types.h"

namespace brimvale::app {

namespace {

using nlohmann::json;

// The helper's answer as a document, or the sentence it printed instead.
std::optional<json> answerOf(RemotesCommandContext& c, const cloud::HelperOutput& output) {
  auto document = json::parse(output.out, nullptr, false);
  if (output.status == 0 && !document.is_discarded()) return document;
  c.err << (output.err.empty() ? "rclone gave an answer Brimvale could not read. Nothing was "
                                 "changed.\n"
                               : output.err);
  return std::nullopt;
}

int resetVault(RemotesCommandContext& c) {
  if (!c.vault) {
    c.err << "Brimvale could not find its credential vault on this computer. Nothing was "
             "changed.\n";
    return 1;
  }
  auto kept = c.vault->vaultReset();
  if (!kept) {
    c.err << "The vault could not be set aside: " << kept.error().message()
          << " It is still where it was, unchanged.\n";
    return 1;
  }
  if (!*kept) {
    c.out << "There is no vault to reset; the next saved password starts a new one.\n";
    return 0;
  }
  c.out << "The old vault was kept at " << kept->value().string()
        << ", so nothing in it is lost. A new, empty vault starts with the next saved password: "
           "enter your remotes' passwords again in Preferences → Accounts.\n";
  return 0;
}

}  // namespace

int remotesCommand(RemotesCommandContext& c, const std::vector<std::string>& words, bool json) {
  const std::string action = words.empty() ? "list" : words[0];
  const bool named = action == "test";
  if (action == "vault-reset" && words.size() == 1 && !json) return resetVault(c);
  const bool wellFormed =
      named ? words.size() == 2 : (action == "list" || action == "types") && words.size() <= 1;
  if (!wellFormed) {
    c.err << "Use brimvale remotes list, remotes types, remotes test NAME or remotes "
             "vault-reset. Nothing was changed.\n";
    return 2;
  }
  if (!c.rclone) {
    c.err << cloud::kRcloneNotInstalled << ". Nothing was changed.\n";
    return 1;
  }
  if (named && !cloud::isUsableRemoteName(words[1])) {
    c.err << "\"" << words[1] << "\" is not a remote name (no ':' or '/', and not starting with "
          << "'-'). Nothing was tested.\n";
    return 2;
  }
  const std::string helperCommand = action == "list"    ? "remotes-list"
                                    : action == "types" ? "remote-types"
                                                        : "remote-test";
  std::vector<std::string> args{helperCommand};
  if (named) args.push_back(words[1]);
  auto answer = answerOf(c, cloud::runHelperCommand(args, c.rclone, c.runner));
  if (!answer) return 1;
  if (json) {
    c.out << answer->dump(2) << "\n";
    return named && !answer->value("ok", false) ? 1 : 0;
  }
  if (named) {
    const bool ok = answer->value("ok", false);
    if (ok) {
      c.out << answer->value("message", std::string()) << "\n";
    } else {
      c.err << "Couldn't reach " << words[1] << ": " << answer->value("message", std::string())
            << " Nothing was changed.\n";
    }
    return ok ? 0 : 1;
  }
  if (answer->empty()) {
    c.out << (action == "list" ? "No remotes configured.\n" : "rclone offers no remote types.\n");
    return 0;
  }
  for (const auto& entry : *answer) {
    if (action == "list") {
      c.out << entry.value("name", std::string()) << "  "
            << cloud::remoteTypeDisplayName(entry.value("type", std::string())) << "\n";
    } else {
      c.out << entry.value("id", std::string()) << "  " << entry.value("name", std::string())
            << (entry.value("oauth", false) ? "  (signs in through the browser)" : "") << "\n";
    }
  }
  return 0;
}

}  // namespace brimvale::app
