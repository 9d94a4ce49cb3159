#include "app/core/remotes_command.h"

#include "app/core/json_output.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>

#include "app/core/remote_add.h"
#include "app/core/remote_folder_edits.h"
#include "cloud/account_forms.h"
#include "cloud/connection_verdict.h"
#include "cloud/credential_saver.h"
#include "common/base/yes_answer.h"

#include "cloud/rclone_auth.h"
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

// The remotes rclone has now, or nothing after saying why.
std::optional<std::vector<cloud::Remote>> currentRemotes(RemotesCommandContext& c) {
  auto answer = answerOf(c, cloud::runHelperCommand({"remotes-list"}, c.rclone, c.runner));
  if (!answer) return std::nullopt;
  try {
    return answer->get<std::vector<cloud::Remote>>();
  } catch (const json::exception&) {
    c.err << "rclone gave a remote list Brimvale could not read. Nothing was changed.\n";
    return std::nullopt;
  }
}

int addRemote(RemotesCommandContext& c, const std::vector<std::string>& words) {
  const RemoteAddRequest request{.type = words[1], .name = words[2], .options = c.addOptions};
  auto question = secretQuestionFor(request);
  if (!question) {
    c.err << question.error().detail << "\n";
    return 2;
  }
  if (!c.vault || !c.details) {
    c.err << "Brimvale could not open its credential vault, so the account was not added. "
             "Nothing was changed.\n";
    return 1;
  }
  auto remotes = currentRemotes(c);
  if (!remotes) return 1;
  std::vector<std::string> types;
  for (const auto& remote : *remotes) {
    if (remote.name == request.name) {
      c.err << cloud::existingRemoteText(request.name) << " Nothing was added.\n";
      return 1;
    }
    types.push_back(remote.type);
  }
  if (auto limit = cloud::accountLimitRefusal(request.type, types)) {
    c.err << *limit << " Nothing was added.\n";
    return 1;
  }
  std::string secret;
  if (*question) {
    auto typed = c.askSecret ? c.askSecret((*question)->prompt)
                             : Result<std::string>(fail(Errc::kUnavailable, "No way to ask."));
    if (!typed) {
      c.err << typed.error().detail << " Nothing was added.\n";
      return 1;
    }
    secret = std::move(*typed);
  }
  auto account = accountFor(request, secret);
  if (!account) {
    c.err << account.error().detail << "\n";
    return 2;
  }
  cloud::RcloneClient client(c.rclone, c.runner);
  cloud::CredentialSaver saver(*c.vault, client, *c.details);
  if (auto saved = saver.save(*account); !saved) {
    c.err << saved.error().message << "\n";
    return 1;
  }
  c.out << "Added " << request.name << " (" << cloud::remoteTypeDisplayName(request.type) << ")"
        << (account->secrets.empty() ? "" : "; its secret is kept encrypted in Brimvale's vault")
        << ". `brimvale remotes test " << request.name << "` checks that it answers.\n";
  return 0;
}

// The remote `name` as rclone lists it, or nothing after saying why.
std::optional<cloud::Remote> listedRemote(RemotesCommandContext& c, const std::string& name) {
  auto remotes = currentRemotes(c);
  if (!remotes) return std::nullopt;
  for (const auto& remote : *remotes) {
    if (remote.name == name) return remote;
  }
  c.err << "There is no remote named " << name
        << " (see brimvale remotes list). Nothing was changed.\n";
  return std::nullopt;
}

// rclone's current keys of remote `name`, or nothing after saying why.
std::optional<std::map<std::string, std::string>> currentKeys(RemotesCommandContext& c,
                                                              cloud::RcloneClient& client,
                                                              const std::string& name) {
  auto dump = client.dump();
  if (!dump) {
    c.err << "rclone's settings of " << name << " couldn't be read (" << dump.error().detail
          << "). Nothing was changed.\n";
    return std::nullopt;
  }
  auto it = dump->find(name);
  return it == dump->end() ? std::map<std::string, std::string>{} : it->second;
}

// The details record of `name`; none when there is none or it cannot be read
// (an edit then starts from rclone's keys alone).
std::optional<cloud::RemoteMetadataRecord> detailsOf(RemotesCommandContext& c,
                                                     const std::string& name) {
  if (!c.details) return std::nullopt;
  auto records = c.details->load();
  if (!records) return std::nullopt;
  for (auto& record : *records) {
    if (record.remoteName == name) return record;
  }
  return std::nullopt;
}

// `remotes show NAME`: what an edit form starts from.
int showRemote(RemotesCommandContext& c, const std::string& name, bool asJson) {
  auto remote = listedRemote(c, name);
  if (!remote) return 1;
  cloud::RcloneClient client(c.rclone, c.runner);
  auto keys = currentKeys(c, client, name);
  if (!keys) return 1;
  const auto details = detailsOf(c, name);
  const auto options = optionsFromSettings(remote->type, *keys, details ? &*details : nullptr);
  cloud::S3Inspection inspected;
  if (remote->type == "s3") {
    const auto value = [&](const std::map<std::string, std::string>& from, const char* key) {
      auto it = from.find(key);
      return it == from.end() ? std::string() : it->second;
    };
    inspected = cloud::inspectS3Remote(value(*keys, "region"), value(*keys, "endpoint"),
                                       value(options, "bucket"));
  }
  if (asJson) {
    json warnings = json::array();
    for (const auto& w : inspected.warnings) {
      warnings.push_back({{"title", w.title}, {"detail", w.detail}});
    }
    json shown{{"name", name},
               {"type", remote->type},
               {"editable", isEditableType(remote->type)},
               {"options", options},
               {"warnings", warnings}};
    if (inspected.parentRegion) shown["fixRegion"] = *inspected.parentRegion;
    c.out << versionedText(shown);
    return 0;
  }
  c.out << name << "  " << cloud::remoteTypeDisplayName(remote->type) << "\n";
  for (const auto& [option, value] : options) c.out << "  --" << option << " " << value << "\n";
  for (const auto& w : inspected.warnings) c.out << w.title << ": " << w.detail << "\n";
  if (inspected.parentRegion) {
    c.out << "`brimvale remotes fix-region " << name << "` sets the region to "
          << *inspected.parentRegion << ".\n";
  }
  return 0;
}

// `remotes fix-region NAME`: an S3 remote whose region is an availability
// zone gets the zone's parent region, the one key changed.
int fixRegion(RemotesCommandContext& c, const std::string& name) {
  auto remote = listedRemote(c, name);
  if (!remote) return 1;
  cloud::RcloneClient client(c.rclone, c.runner);
  auto keys = currentKeys(c, client, name);
  if (!keys) return 1;
  const auto region = keys->contains("region") ? keys->at("region") : std::string();
  // Only the region matters here; the other findings are the show's.
  const auto parent =
      remote->type == "s3" ? cloud::inspectS3Remote(region, "", "").parentRegion : std::nullopt;
  if (!parent) {
    c.err << "The region of " << name << " (\"" << region
          << "\") is not an availability zone Brimvale knows the region of, so it was left as it "
             "is. Nothing was changed; set the region with `brimvale remotes edit "
          << name << " --region REGION`.\n";
    return 1;
  }
  c.out << "Patching rclone.conf\u2026\n";
  if (auto updated = client.updateKey(name, {"region", *parent}); !updated) {
    c.err << updated.error().detail << " Your files are not affected.\n";
    return 1;
  }
  auto after = currentKeys(c, client, name);
  if (!after) return 1;
  if (!after->contains("region") || after->at("region") != *parent) {
    c.err << "rclone accepted the new region of " << name
          << " but still has another. Your files are not affected; try again.\n";
    return 1;
  }
  c.out << "The region of " << name << " is now " << *parent << ".\n";
  return 0;
}

// `remotes edit NAME [--key value ...]`: the options given replace the
// remote's current ones; the secret is asked, and an empty answer keeps it.
int editRemote(RemotesCommandContext& c, const std::string& name) {
  auto remote = listedRemote(c, name);
  if (!remote) return 1;
  if (!isEditableType(remote->type)) {
    c.err << kNotEditable << " Nothing was changed.\n";
    return 1;
  }
  if (!c.vault || !c.details) {
    c.err << "Brimvale could not open its credential vault, so " << name
          << " was not changed. Nothing was changed.\n";
    return 1;
  }
  cloud::RcloneClient client(c.rclone, c.runner);
  auto keys = currentKeys(c, client, name);
  if (!keys) return 1;
  const auto details = detailsOf(c, name);
  RemoteAddRequest request{
      .type = remote->type,
      .name = name,
      .options = optionsFromSettings(remote->type, *keys, details ? &*details : nullptr),
      .editing = true};
  for (const auto& [option, value] : c.addOptions) request.options[option] = value;
  auto question = secretQuestionFor(request);
  if (!question) {
    c.err << question.error().detail << "\n";
    return 2;
  }
  std::string secret;
  if (*question && c.askSecret) {
    auto typed = c.askSecret((*question)->prompt);
    if (!typed) {
      c.err << typed.error().detail << " Nothing was changed.\n";
      return 1;
    }
    secret = std::move(*typed);
  }
  auto account = accountFor(request, secret);
  if (!account) {
    c.err << account.error().detail << "\n";
    return 2;
  }
  cloud::CredentialSaver saver(*c.vault, client, *c.details);
  if (auto saved = saver.save(*account); !saved) {
    c.err << saved.error().message << "\n";
    return 1;
  }
  // Saved means each update was accepted; the settings read back say they hold.
  auto after = currentKeys(c, client, name);
  if (!after) return 1;
  std::vector<cloud::RemoteKey> plain;
  for (const auto& key : account->keys) {
    if (!key.secret) plain.push_back(key);
  }
  if (const auto differ = cloud::changedKeys(plain, *after); !differ.empty()) {
    c.err << "rclone accepted the changes to " << name << " but still has a different "
          << differ.front().key << ". Your files are not affected; check the values and save "
          << "again.\n";
    return 1;
  }
  c.out << "Saved the changes to " << name << ". `brimvale remotes test " << name
        << "` checks that it answers.\n";
  return 0;
}

// `remotes sign-in TYPE NAME`: the browser sign-in of an account type that
// authorises through OAuth, each step printed as it comes; the remote must be
// listed afterwards for the sign-in to count.
int signInRemote(RemotesCommandContext& c, const std::string& type, const std::string& name) {
  if (!cloud::isBrowserSignInType(type)) {
    c.err << "Only drive, googlephotos, dropbox, onedrive and box accounts sign in through the "
             "browser; add a "
          << type << " remote with `brimvale remotes add`. Nothing was added.\n";
    return 2;
  }
  if (!cloud::isUsableRemoteName(name)) {
    c.err << "\"" << name
          << "\" can't be a remote name: use letters, digits, '-' or '_', without ':' or '/', "
             "not starting with '-'. Nothing was added.\n";
    return 2;
  }
  auto remotes = currentRemotes(c);
  if (!remotes) return 1;
  std::vector<std::string> types;
  for (const auto& remote : *remotes) types.push_back(remote.type);
  if (auto limit = cloud::accountLimitRefusal(type, types)) {
    c.err << *limit << " Nothing was added.\n";
    return 1;
  }
  std::string clientSecret;
  const auto clientId = c.addOptions.find("client-id");
  if (clientId != c.addOptions.end() && c.askSecret) {
    auto typed = c.askSecret("Client secret of your own OAuth client (empty when it has none): ");
    if (!typed) {
      c.err << typed.error().detail << " Nothing was added.\n";
      return 1;
    }
    clientSecret = std::move(*typed);
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<cloud::AuthState> states;
  cloud::RcloneClient client(c.rclone, c.runner);
  cloud::RcloneAuth auth(c.rclone, c.runner, client,
                         c.openBrowser ? c.openBrowser : cloud::systemBrowserOpener(c.runner),
                         [&](const cloud::AuthState& state) {
                           std::lock_guard lock(mutex);
                           states.push_back(state);
                           changed.notify_all();
                         });
  auth.signIn(name, type, clientId == c.addOptions.end() ? "" : clientId->second, clientSecret);
  bool cancelRequested = false;
  for (;;) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return !states.empty(); });
    if (states.empty()) {
      if (c.cancel && c.cancel->load() && !cancelRequested) {
        cancelRequested = true;
        lock.unlock();
        auth.cancel();
      }
      continue;
    }
    const cloud::AuthState state = states.front();
    states.pop_front();
    lock.unlock();
    switch (state.step) {
      case cloud::AuthStep::kFailed:
        c.err << state.message << "\n\nNothing was added; try again.\n";
        return 1;
      case cloud::AuthStep::kIdle:
        c.out << "The sign-in was cancelled. Nothing was added.\n";
        return 1;
      case cloud::AuthStep::kDone: {
        auto after = currentRemotes(c);
        if (!after) return 1;
        if (std::none_of(after->begin(), after->end(),
                         [&](const cloud::Remote& r) { return r.name == name; })) {
          c.err << "rclone ended the sign-in without adding " << name
                << ". Nothing was added; try again.\n";
          return 1;
        }
        c.out << state.message << "\n";
        return 0;
      }
      case cloud::AuthStep::kBrowserOpen:
        if (state.message.starts_with("Opening")) {
          c.out << cloud::kWillOpenPrefix << state.signInAddress << "\n";
        }
        [[fallthrough]];
      default: c.out << state.message << "\n" << std::flush;
    }
  }
}

// The failed test of `name` explained from rclone's settings of it.
cloud::ConnectionVerdict testVerdict(RemotesCommandContext& c, const std::string& name,
                                     const std::string& raw) {
  cloud::RcloneClient client(c.rclone, c.runner);
  auto dump = client.dump();
  if (!dump || !dump->contains(name)) return {false, raw};
  const auto& keys = dump->at(name);
  const auto value = [&](const std::string& key, std::string fallback) {
    auto it = keys.find(key);
    return it == keys.end() || it->second.empty() ? fallback : it->second;
  };
  const std::string type = value("type", "");
  return cloud::explainFailedTest(
      {type, value("host", ""), value("port", type == "ftp" ? "21" : "22"), value("user", "")},
      raw);
}

// Deletes what Brimvale kept about a remote rclone no longer has: its
// secrets in the vault and its details record. Each may already be gone (a
// second removal, or one that stopped half way). Returns whether both are
// gone now, after saying what could not be deleted.
bool forgetRemote(RemotesCommandContext& c, const std::string& name, bool& forgotAny) {
  bool done = true;
  if (c.vault) {
    if (auto forgot = c.vault->forget(name); !forgot) {
      c.err << "Couldn't delete the saved secret of " << name
            << " from the vault: " << forgot.error().message()
            << " The vault is unchanged; `brimvale remotes remove " << name << "` tries again.\n";
      done = false;
    } else {
      forgotAny = forgotAny || *forgot;
    }
  }
  if (c.details) {
    if (auto forgot = c.details->forget(name); !forgot) {
      c.err << "Couldn't delete the details Brimvale kept about " << name << ": "
            << forgot.error().message() << " Other remotes' details are unchanged; "
            << "`brimvale remotes remove " << name << "` tries again.\n";
      done = false;
    } else {
      forgotAny = forgotAny || *forgot;
    }
  }
  return done;
}

int removeRemote(RemotesCommandContext& c, const std::string& name) {
  auto remotes = currentRemotes(c);
  if (!remotes) return 1;
  bool forgotAny = false;
  if (std::none_of(remotes->begin(), remotes->end(),
                   [&](const cloud::Remote& r) { return r.name == name; })) {
    if (!forgetRemote(c, name, forgotAny)) return 1;
    c.out << (forgotAny
                  ? "There is no remote named " + name +
                        " any more; the secret and details Brimvale still kept for it "
                        "were deleted.\n"
                  : "There is no remote named " + name + ", so there was nothing to remove.\n");
    return 0;
  }
  if (!c.yes) {
    if (!c.interactive || !c.in) {
      c.out << "Nothing was removed. Run it again with --yes to remove " << name << ".\n";
      return 1;
    }
    c.out << kRemoveRemoteWarning << "\nRemove " << name << "? [y/N] " << std::flush;
    if (!readsYes(*c.in)) {
      c.out << "Nothing was removed.\n";
      return 1;
    }
  }
  auto answer = answerOf(c, cloud::runHelperCommand({"remote-remove", name}, c.rclone, c.runner));
  if (!answer) return 1;
  if (!answer->value("ok", false)) {
    c.err << "Couldn't remove " << name << ": " << answer->value("message", std::string())
          << " The remote is unchanged.\n";
    return 1;
  }
  // rclone's definition goes first: without it the remote cannot be used,
  // and a rerun still finds and deletes what is left here.
  c.out << answer->value("message", std::string()) << "\n";
  return forgetRemote(c, name, forgotAny) ? 0 : 1;
}

int browseRemote(RemotesCommandContext& c, const std::string& target, bool asJson) {
  cloud::RcloneClient client(c.rclone, c.runner);
  auto entries = client.listRcloneEntries(target);
  if (!entries) {
    c.err << entries.error().detail << " Nothing was changed.\n";
    return entries.error().code == Errc::kInvalidArgument ? 2 : 1;
  }
  // Folders first, each group by name, as a file browser shows them.
  std::stable_sort(entries->begin(), entries->end(),
                   [](const cloud::RcloneEntry& a, const cloud::RcloneEntry& b) {
                     return a.isDir != b.isDir ? a.isDir : a.name < b.name;
                   });
  if (asJson) {
    json list = json::array();
    for (const auto& e : *entries)
      list.push_back({{"Path", e.path}, {"Name", e.name}, {"IsDir", e.isDir}});
    c.out << versionedText(list);
    return 0;
  }
  if (entries->empty()) {
    c.out << target << " is empty.\n";
    return 0;
  }
  for (const auto& e : *entries) c.out << e.name << (e.isDir ? "/" : "") << "\n";
  return 0;
}

}  // namespace

int remotesCommand(RemotesCommandContext& c, const std::vector<std::string>& words, bool json) {
  const std::string action = words.empty() ? "list" : words[0];
  const bool named = action == "test";
  if (action == "vault-reset" && words.size() == 1 && !json) return resetVault(c);
  const bool edit = action == "browse" && words.size() == 3 && !json &&
                    (words[2] == "new-folder" || words[2] == "delete");
  const bool single = named || action == "remove" || action == "browse" || action == "show" ||
                      ((action == "edit" || action == "fix-region") && !json);
  const bool wellFormed = edit     ? true
                          : single ? words.size() == 2
                          : action == "add" || action == "sign-in"
                              ? words.size() == 3 && !json
                              : (action == "list" || action == "types") && words.size() <= 1;
  if (!wellFormed) {
    c.err << "Use brimvale remotes list, remotes types, remotes add TYPE NAME [--key value ...], "
             "remotes sign-in TYPE NAME [--client-id ID], remotes show NAME, remotes edit NAME "
             "[--key value ...], remotes fix-region NAME, remotes test NAME, remotes "
             "remove NAME, remotes browse NAME:PATH [new-folder|delete] or remotes vault-reset. "
             "Nothing was changed.\n";
    return 2;
  }
  if (action == "sign-in") {
    for (const auto& [option, value] : c.addOptions) {
      if (option != "client-id") {
        c.err << "A sign-in takes --client-id only, not --" << option << ". Nothing was added.\n";
        return 2;
      }
    }
    if (!c.rclone) {
      c.err << cloud::kRcloneNotInstalled << ". Nothing was added.\n";
      return 1;
    }
    return signInRemote(c, words[1], words[2]);
  }
  if (action != "add" && action != "edit" && !c.addOptions.empty()) {
    c.err << "Options such as --" << c.addOptions.begin()->first
          << " go with remotes add and remotes edit only. Nothing was changed.\n";
    return 2;
  }
  if (action == "add") {
    // Usage mistakes are reported before anything asks rclone.
    if (!c.rclone && secretQuestionFor({words[1], words[2], c.addOptions})) {
      c.err << cloud::kRcloneNotInstalled << ". Nothing was changed.\n";
      return 1;
    }
    return addRemote(c, words);
  }
  if (!c.rclone && action == "browse") {
    c.err << cloud::kRcloneNotInstalledBrowser << " Nothing was changed.\n";
    return 1;
  }
  if (!c.rclone) {
    c.err << cloud::kRcloneNotInstalled << ". Nothing was changed.\n";
    return 1;
  }
  if (edit) {
    cloud::RcloneClient client(c.rclone, c.runner);
    RemoteFolderEdit folders{.client = client,
                             .out = c.out,
                             .err = c.err,
                             .in = c.in,
                             .interactive = c.interactive,
                             .yes = c.yes};
    return words[2] == "new-folder" ? makeRemoteFolder(folders, words[1])
                                    : deleteRemoteItem(folders, words[1]);
  }
  if (action == "browse") return browseRemote(c, words[1], json);
  if (action == "show" || action == "edit" || action == "fix-region") {
    if (!cloud::isUsableRemoteName(words[1])) {
      c.err << "\"" << words[1] << "\" is not a remote name. Nothing was changed.\n";
      return 2;
    }
    if (action == "fix-region") return fixRegion(c, words[1]);
    return action == "show" ? showRemote(c, words[1], json) : editRemote(c, words[1]);
  }
  if (action == "remove") {
    if (!cloud::isUsableRemoteName(words[1])) {
      c.err << "\"" << words[1] << "\" is not a remote name. Nothing was removed.\n";
      return 2;
    }
    return removeRemote(c, words[1]);
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
  if (named && !answer->value("ok", false)) {
    const auto verdict = testVerdict(c, words[1], answer->value("message", std::string()));
    *answer = {{"ok", verdict.ok}, {"message", verdict.message}};
  }
  if (json) {
    c.out << versionedText(*answer);
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
