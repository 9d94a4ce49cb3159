#include "cloud/rclone_client.h"

#include <nlohmann/json.hpp>

#include "cloud/rclone_obscure.h"
#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace {

using Json = nlohmann::json;

// Both streams, for messages: rclone writes its errors to standard error.
std::string bothStreams(const RcloneRunResult& result) {
  return trimmed(result.err.empty() ? result.out : result.out + "\n" + result.err);
}

// A secret that rclone echoes back in a message is replaced before the
// message is shown or logged anywhere.
std::string withoutSecrets(std::string text, const std::vector<std::string>& secrets) {
  for (const auto& secret : secrets) {
    if (secret.empty()) continue;
    for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
      text.replace(at, secret.size(), "(hidden)");
    }
  }
  return text;
}

// `config create` and `config update` print a JSON question block even when
// they succeed; a set "Error" there is a refusal despite exit status 0.
std::string configRefusal(const RcloneRunResult& result) {
  if (result.status != 0) return bothStreams(result);
  const Json reply = Json::parse(result.out, nullptr, false);
  if (reply.is_object() && reply.contains("Error") && reply["Error"].is_string() &&
      !reply["Error"].get<std::string>().empty()) {
    return reply["Error"].get<std::string>();
  }
  return {};
}

Error browserError(std::string sentence, const RcloneRunResult& result) {
  const std::string output = bothStreams(result);
  if (!output.empty()) sentence += "\n\n" + output;
  return Error{Errc::kToolFailed, std::move(sentence)};
}

}  // namespace

Result<std::vector<RcloneEntry>> parseLsjson(std::string_view json) {
  const Json listing = Json::parse(json, nullptr, false);
  if (!listing.is_array()) return fail(Errc::kParse, "rclone's listing is not a JSON array.");
  std::vector<RcloneEntry> entries;
  for (const auto& item : listing) {
    if (!item.is_object() || !item.contains("Path") || !item["Path"].is_string()) {
      return fail(Errc::kParse, "rclone's listing holds an entry without a path.");
    }
    RcloneEntry entry;
    entry.path = item["Path"].get<std::string>();
    entry.name = item.value("Name", std::string());
    entry.isDir = item.value("IsDir", false);
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool isRemotePath(std::string_view path) {
  const auto colon = path.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const auto slash = path.find('/');
  return slash == std::string_view::npos || slash > colon;
}

std::optional<std::string> remoteNameOf(std::string_view path) {
  if (!isRemotePath(path)) return std::nullopt;
  return std::string(path.substr(0, path.find(':')));
}

std::string withDefaultBucket(std::string_view path, std::string_view bucket) {
  if (!isRemotePath(path) || bucket.empty()) return std::string(path);
  const auto colon = path.find(':');
  std::string_view rest = path.substr(colon + 1);
  while (rest.starts_with('/')) rest.remove_prefix(1);
  if (rest == bucket || (rest.starts_with(bucket) && rest.substr(bucket.size()).starts_with('/')))
    return std::string(path);
  return std::string(path.substr(0, colon + 1)) + std::string(bucket) +
         (rest.empty() ? "" : "/" + std::string(rest));
}

bool isUsableRemoteName(std::string_view name) {
  return !name.empty() && name.front() != '-' && name.front() != ' ' &&
         name.find_first_of(":/\n") == std::string_view::npos;
}

std::string existingRemoteText(const std::string& name) {
  return "A remote named " + name +
         " already exists. Nothing was changed; choose another name, "
         "or edit or remove the existing one.";
}

std::optional<std::string> classifyProbeFailure(std::string_view output) {
  if (output.find("directory not found") != std::string_view::npos) {
    return "folder no longer exists at this path";
  }
  if (output.find("NoSuchBucket") != std::string_view::npos) {
    return "S3 bucket missing (check Edit Account \u2192 Bucket)";
  }
  if (output.find("AccessDenied") != std::string_view::npos) {
    return "permission denied (IAM / token may have expired)";
  }
  return std::nullopt;
}

RcloneClient::RcloneClient(std::optional<std::string> rclone, ProcessRunner runner)
    : rclone_(std::move(rclone)), runner_(std::move(runner)) {}

Result<RcloneRunResult> RcloneClient::run(
    std::vector<std::string> args, std::string input,
    std::vector<std::pair<std::string, std::string>> environment) const {
  if (!rclone_) return fail(Errc::kUnavailable, std::string(kRcloneNotInstalled));
  ProcessInvocation invocation{.path = *rclone_, .args = std::move(args)};
  invocation.envAdditions = std::move(environment);
  invocation.stdinData = std::move(input);
  ProcessResult result = runner_(invocation);
  switch (result.outcome) {
    case ProcessOutcome::kFailedToStart:
      return fail(Errc::kLaunchFailed, std::string(kLaunchFailedPrefix) + result.launchError);
    case ProcessOutcome::kExited: break;
    case ProcessOutcome::kSignalled: result.exitCode = -result.signal; break;
    case ProcessOutcome::kTimedOut: result.exitCode = -1; break;
  }
  return RcloneRunResult{result.exitCode, std::move(result.out), std::move(result.err)};
}

Result<RcloneRunResult> RcloneClient::runRcat(const std::string& input,
                                              const std::string& target) const {
  return run({"rcat", target}, input);
}

Result<void> RcloneClient::createRemote(const std::string& name, const std::string& type,
                                        const std::vector<RemoteKey>& keys) {
  if (!isUsableRemoteName(name)) {
    return fail(Errc::kInvalidArgument, "rclone config create failed.\n\n\"" + name +
                                            "\" is not a name rclone accepts for a remote.");
  }
  const std::string failed = "rclone config create failed.\n\n";
  // rclone would silently replace an existing remote of that name, and the
  // clean-up below would then delete the user's working account.
  auto existing = dump();
  if (!existing) return fail(existing.error().code, failed + existing.error().detail);
  if (existing->contains(name)) {
    return fail(Errc::kInvalidArgument, failed + existingRemoteText(name));
  }
  std::vector<std::string> args{"config", "create", name, type};
  std::vector<RemoteKey> secrets;
  for (const auto& key : keys) {
    if (key.secret && !key.value.empty()) {
      secrets.push_back(key);
      continue;
    }
    args.push_back(key.key);
    args.push_back(key.value);
  }
  args.push_back("--non-interactive");
  args.push_back("--obscure");
  auto created = run(std::move(args));
  if (!created) return fail(created.error().code, failed + created.error().detail);
  if (const std::string refusal = configRefusal(*created); !refusal.empty()) {
    return fail(Errc::kToolFailed, failed + refusal);
  }
  for (const auto& secret : secrets) {
    if (auto set = setSecret(name, type, secret); !set) {
      // A remote without its password would fail every transfer with a
      // confusing sign-in error; the user re-adds it instead.
      (void)run({"config", "delete", name});
      return fail(set.error().code, failed + set.error().detail +
                                        "\n\nThe remote was not added; nothing else changed.");
    }
  }
  return {};
}

Result<void> RcloneClient::updateKey(const std::string& name, const RemoteKey& key) {
  const std::string failed = "Couldn't update " + key.key + " of the remote " + name +
                             ". Its other settings are unchanged.\n\n";
  if (!isUsableRemoteName(name)) {
    return fail(Errc::kInvalidArgument, failed + "That is not a name rclone accepts for a remote.");
  }
  if (key.secret && !key.value.empty()) {
    auto type = typeOf(name);
    if (!type) return fail(type.error().code, failed + type.error().detail);
    if (auto set = setSecret(name, *type, key); !set) {
      return fail(set.error().code, failed + set.error().detail);
    }
    return {};
  }
  auto updated = run({"config", "update", name, key.key, key.value, "--non-interactive"});
  if (!updated) return fail(updated.error().code, failed + updated.error().detail);
  if (const std::string refusal = configRefusal(*updated); !refusal.empty()) {
    return fail(Errc::kToolFailed, failed + refusal);
  }
  return {};
}

Result<std::map<std::string, std::map<std::string, std::string>>> RcloneClient::dump() {
  auto dumped = run({"config", "dump"});
  if (!dumped) return std::unexpected(dumped.error());
  if (dumped->status != 0) {
    return fail(Errc::kToolFailed,
                "rclone could not list its remote definitions; nothing was changed.\n\n" +
                    bothStreams(*dumped));
  }
  const Json remotes = Json::parse(dumped->out, nullptr, false);
  if (!remotes.is_object()) {
    return fail(Errc::kParse,
                "rclone could not list its remote definitions (its answer was not a JSON object); "
                "nothing was changed.");
  }
  std::map<std::string, std::map<std::string, std::string>> out;
  for (const auto& [name, keys] : remotes.items()) {
    auto& remote = out[name];
    if (!keys.is_object()) continue;
    for (const auto& [key, value] : keys.items()) {
      if (value.is_string()) remote[key] = value.get<std::string>();
    }
  }
  return out;
}

Result<std::string> RcloneClient::reveal(const std::string& obscured) {
  // Done here rather than by `rclone reveal`, whose only input is its
  // argument list, where every local user could read the value.
  auto plain = revealObscured(obscured);
  if (!plain) return std::unexpected(plain.error());
  return trimmed(*plain);
}

Result<RcloneClient::SecretOption> RcloneClient::secretOption(const std::string& type,
                                                              const std::string& key) {
  if (!providers_) {
    auto listed = run({"config", "providers"});
    if (!listed) return std::unexpected(listed.error());
    if (listed->status != 0) {
      return fail(Errc::kToolFailed,
                  "rclone could not list its remote types; nothing was changed.\n\n" +
                      bothStreams(*listed));
    }
    providers_ = std::move(listed->out);
  }
  const Json providers = Json::parse(*providers_, nullptr, false);
  if (providers.is_array()) {
    for (const auto& provider : providers) {
      if (!provider.is_object() ||
          provider.value("Prefix", provider.value("Name", std::string())) != type) {
        continue;
      }
      const Json options = provider.value("Options", Json::array());
      for (std::size_t i = 0; i < options.size(); ++i) {
        if (!options[i].is_object() || options[i].value("Name", std::string()) != key) continue;
        return SecretOption{i, options[i].value("Advanced", false),
                            options[i].value("IsPassword", false)};
      }
    }
  }
  return fail(Errc::kInvalidArgument,
              "rclone has no setting \"" + key + "\" for remotes of type \"" + type + "\".");
}

Result<std::string> RcloneClient::typeOf(const std::string& name) {
  auto remotes = dump();
  if (!remotes) return std::unexpected(remotes.error());
  const auto remote = remotes->find(name);
  if (remote == remotes->end() || !remote->second.contains("type")) {
    return fail(Errc::kNotFound, "rclone has no remote named \"" + name + "\".");
  }
  return remote->second.at("type");
}

Result<void> RcloneClient::setSecret(const std::string& name, const std::string& type,
                                     const RemoteKey& key) {
  auto option = secretOption(type, key.key);
  if (!option) return std::unexpected(option.error());
  std::string stored = key.value;
  if (option->password) {
    auto obscured = run({"obscure", "-"}, key.value);
    if (!obscured) return std::unexpected(obscured.error());
    stored = trimmed(obscured->out);
    if (obscured->status != 0 || stored.empty()) {
      return fail(Errc::kToolFailed, "rclone could not obscure the value of " + key.key + ".\n\n" +
                                         withoutSecrets(trimmed(obscured->err), {key.value}));
    }
  }
  // rclone's answer to the config question numbered `index` is taken from
  // RCLONE_RESULT, the environment form of its --result flag.
  const std::string state =
      "*all-set," + std::to_string(option->index) + "," + (option->advanced ? "true" : "false");
  auto answered =
      run({"config", "update", name, "--continue", "--state", state, "--non-interactive"}, {},
          {{"RCLONE_RESULT", stored}});
  if (!answered) return std::unexpected(answered.error());
  const std::vector<std::string> hidden{key.value, stored};
  if (const std::string refusal = configRefusal(*answered); !refusal.empty()) {
    return fail(Errc::kToolFailed, withoutSecrets(refusal, hidden));
  }
  // The answer protocol is rclone's; reading the value back proves it landed.
  auto remotes = dump();
  if (!remotes) return std::unexpected(remotes.error());
  const auto remote = remotes->find(name);
  if (remote == remotes->end() || !remote->second.contains(key.key) ||
      remote->second.at(key.key) != stored) {
    return fail(Errc::kToolFailed, "rclone did not store the value of " + key.key + ".");
  }
  return {};
}

Result<RcloneRunResult> RcloneClient::browserRun(std::vector<std::string> args,
                                                 std::string input) const {
  auto result = run(std::move(args), std::move(input));
  if (!result && result.error().code == Errc::kUnavailable) {
    return fail(Errc::kUnavailable, std::string(kRcloneNotInstalledBrowser));
  }
  return result;
}

Result<std::vector<RcloneEntry>> RcloneClient::listFolders(const std::string& remote,
                                                           const std::string& path) const {
  auto listed = browserRun({"lsjson", "--dirs-only", remote + ":" + path});
  if (!listed) return std::unexpected(listed.error());
  if (listed->status != 0) {
    return fail(Errc::kToolFailed, "Couldn't list this folder. Details: " + bothStreams(*listed));
  }
  return parseLsjson(listed->out);
}

Result<void> RcloneClient::makeFolder(const std::string& remote, const std::string& path) const {
  const std::string target = remote + ":" + path;
  auto made = browserRun({"mkdir", target});
  if (!made) return std::unexpected(made.error());
  if (made->status != 0) {
    return std::unexpected(browserError("rclone refused to create the folder.", *made));
  }
  const std::string marker = target + (target.ends_with('/') || target.ends_with(':') ? "" : "/") +
                             std::string(kFolderMarkerName);
  auto marked = browserRun({"rcat", marker}, std::string(kFolderMarkerContent));
  std::string why;
  if (!marked) {
    why = marked.error().detail;
  } else if (marked->status != 0) {
    why = bothStreams(*marked);
    if (why.empty()) why = "rclone exited with code " + std::to_string(marked->status);
  }
  if (!why.empty()) {
    return fail(Errc::kToolFailed, "Folder created; marker not written (" + why +
                                       "). The folder will appear once you put something in it.");
  }
  return {};
}

Result<void> RcloneClient::deleteFolder(const std::string& remote, const std::string& path) const {
  auto purged = browserRun({"purge", remote + ":" + path});
  if (!purged) return std::unexpected(purged.error());
  if (purged->status != 0) {
    return std::unexpected(browserError("rclone refused to delete the item.", *purged));
  }
  return {};
}

Result<void> RcloneClient::deleteFile(const std::string& remote, const std::string& path) const {
  auto deleted = browserRun({"deletefile", remote + ":" + path});
  if (!deleted) return std::unexpected(deleted.error());
  if (deleted->status != 0) {
    return std::unexpected(browserError("rclone refused to delete the item.", *deleted));
  }
  return {};
}

Result<void> RcloneClient::probe(const std::string& target) const {
  auto listed = browserRun({"lsd", target, "--max-depth", "1"});
  if (!listed) return std::unexpected(listed.error());
  if (listed->status == 0) return {};
  const std::string output = bothStreams(*listed);
  return fail(Errc::kToolFailed, classifyProbeFailure(output).value_or(output));
}

Result<std::vector<RcloneEntry>> RcloneClient::listRcloneEntries(const std::string& target) const {
  if (!isRemotePath(target)) return fail(Errc::kInvalidArgument, "Invalid cloud path.");
  auto listed = browserRun({"lsjson", target});
  if (!listed) {
    if (listed.error().code != Errc::kLaunchFailed) return std::unexpected(listed.error());
    const std::string reason = listed.error().detail.substr(
        std::min(listed.error().detail.size(), kLaunchFailedPrefix.size()));
    return fail(Errc::kLaunchFailed, "Couldn't run rclone: " + reason);
  }
  if (listed->status != 0) {
    return fail(Errc::kToolFailed, "Couldn't list this folder. Details: " + bothStreams(*listed));
  }
  auto entries = parseLsjson(listed->out);
  if (!entries) {
    return fail(Errc::kParse, "Couldn't list this folder. Details: " + entries.error().detail);
  }
  return entries;
}

}  // namespace brimvale::cloud
