#include "cloud/rclone_helper.h"

#include <array>
#include <nlohmann/json.hpp>
#include <utility>

#include "cloud/rclone_client.h"
#include "cloud/remote_types.h"
#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace {

using Json = nlohmann::json;

struct KnownType {
  std::string_view id;
  std::string_view name;
  std::string_view icon;
};

constexpr std::array kKnownTypes{
    KnownType{"drive", "Google Drive", "externaldrive.badge.icloud"},
    KnownType{"googlephotos", "Google Photos", "photo.on.rectangle"},
    KnownType{"local", "Local", "internaldrive"},
    KnownType{"s3", "Amazon S3", "cylinder.split.1x2"},
    KnownType{"b2", "Backblaze B2", "cylinder.split.1x2"},
    KnownType{"dropbox", "Dropbox", "shippingbox"},
    KnownType{"onedrive", "OneDrive", "cloud"},
    KnownType{"box", "Box", "archivebox"},
    KnownType{"sftp", "", "server.rack"},
    KnownType{"ftp", "", "server.rack"},
};
constexpr std::array<std::string_view, 5> kBrowserSignIn{"drive", "googlephotos", "dropbox",
                                                         "onedrive", "box"};
constexpr std::chrono::seconds kTestLimit{45};

const KnownType* knownType(std::string_view id) {
  for (const auto& type : kKnownTypes) {
    if (type.id == id) return &type;
  }
  return nullptr;
}

HelperOutput verdict(bool ok, const std::string& message) {
  return {0, Json{{"ok", ok}, {"message", message}}.dump(2) + "\n", {}};
}

HelperOutput refusal(int status, const std::string& sentence) {
  return {status, {}, sentence + "\n"};
}

std::string messageOf(const ProcessResult& result) {
  std::string text = trimmed(result.err);
  if (text.empty()) text = trimmed(result.out);
  if (text.empty()) text = "rclone " + result.describe() + ".";
  return text;
}

ProcessResult runRclone(const ProcessRunner& runner, const std::string& rclone,
                        std::vector<std::string> args, std::chrono::seconds limit) {
  ProcessInvocation invocation{.path = rclone, .args = std::move(args)};
  invocation.deadline = limit;
  return runner(invocation);
}

}  // namespace

std::vector<Remote> parseRemoteListing(std::string_view listing) {
  std::vector<Remote> remotes;
  for (std::string_view line : splitLines(listing)) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    remotes.push_back({std::string(line.substr(0, colon)), trimmed(line.substr(colon + 1))});
  }
  return remotes;
}

std::optional<std::vector<RemoteType>> parseRemoteTypes(std::string_view providers) {
  const Json list = Json::parse(providers, nullptr, false);
  if (!list.is_array()) return std::nullopt;
  std::vector<RemoteType> types;
  for (const auto& provider : list) {
    if (!provider.is_object() || provider.value("Hide", false)) continue;
    RemoteType type;
    // A remote's "type" is the provider's prefix ("acd"), not its long name.
    type.id = provider.value("Prefix", provider.value("Name", std::string()));
    if (type.id.empty()) continue;
    type.name = remoteTypeDisplayName(type.id);
    const KnownType* known = knownType(type.id);
    type.icon = known ? std::string(known->icon) : "cloud";
    for (std::string_view id : kBrowserSignIn) type.oauth = type.oauth || id == type.id;
    for (const auto& option : provider.value("Options", Json::array())) {
      if (option.is_object() && option.value("Name", std::string()) == "token") type.oauth = true;
    }
    types.push_back(std::move(type));
  }
  return types;
}

namespace {

using Handler = HelperOutput (*)(const ProcessRunner& runner, const std::string& rclone,
                                 const std::string& name);

HelperOutput listRemotes(const ProcessRunner& runner, const std::string& rclone,
                         const std::string&) {
  const ProcessResult listed =
      runRclone(runner, rclone, {"listremotes", "--long"}, std::chrono::seconds(30));
  if (!listed.succeeded()) {
    return refusal(1,
                   "rclone could not list the remotes; nothing was changed. " + messageOf(listed));
  }
  return {0, Json(parseRemoteListing(listed.out)).dump(2) + "\n", {}};
}

HelperOutput listTypes(const ProcessRunner& runner, const std::string& rclone, const std::string&) {
  const ProcessResult listed =
      runRclone(runner, rclone, {"config", "providers"}, std::chrono::seconds(30));
  auto types = listed.succeeded() ? parseRemoteTypes(listed.out) : std::nullopt;
  if (!types) {
    return refusal(
        1, "rclone could not list its remote types; nothing was changed. " + messageOf(listed));
  }
  return {0, Json(*types).dump(2) + "\n", {}};
}

HelperOutput testRemote(const ProcessRunner& runner, const std::string& rclone,
                        const std::string& name) {
  const ProcessResult tested =
      runRclone(runner, rclone, {"lsd", name + ":", "--max-depth", "1"}, kTestLimit);
  if (tested.succeeded()) return verdict(true, "Connected to " + name + ".");
  if (tested.outcome == ProcessOutcome::kTimedOut) {
    return verdict(false, "No answer from " + name + " within " +
                              std::to_string(kTestLimit.count()) +
                              " seconds. Check the network and the server, then test again.");
  }
  return verdict(false, messageOf(tested));
}

HelperOutput removeRemote(const ProcessRunner& runner, const std::string& rclone,
                          const std::string& name) {
  const ProcessResult removed =
      runRclone(runner, rclone, {"config", "delete", name}, std::chrono::seconds(30));
  if (!removed.succeeded()) {
    return verdict(false, "rclone could not remove " + name + "; it is still configured. " +
                              messageOf(removed));
  }
  return verdict(true, "Removed " + name +
                           " from rclone's configuration. The data stored in that account is "
                           "not affected.");
}

struct HelperCommand {
  std::string_view name;
  bool takesRemote;  // answers with {"ok", "message"} about that remote
  Handler handler;
};

constexpr std::array kCommands{
    HelperCommand{"remotes-list", false, listRemotes},
    HelperCommand{"remote-types", false, listTypes},
    HelperCommand{"remote-test", true, testRemote},
    HelperCommand{"remote-remove", true, removeRemote},
};

std::string usage() {
  std::string text = "Usage: rclone-helper";
  for (const auto& command : kCommands) {
    text += std::string(&command == &kCommands.front() ? " " : " | ") + std::string(command.name) +
            (command.takesRemote ? " NAME" : "");
  }
  return text;
}

}  // namespace

HelperOutput runHelperCommand(const std::vector<std::string>& args,
                              const std::optional<std::string>& rclone,
                              const ProcessRunner& runner) {
  const HelperCommand* command = nullptr;
  for (const auto& candidate : kCommands) {
    if (!args.empty() && args.front() == candidate.name &&
        args.size() == (candidate.takesRemote ? 2u : 1u)) {
      command = &candidate;
    }
  }
  if (!command) return refusal(2, usage());
  const std::string name = command->takesRemote ? args[1] : std::string();
  if (command->takesRemote && !isUsableRemoteName(name)) {
    return verdict(false, "\"" + name +
                              "\" is not a remote name rclone accepts. Nothing was "
                              "changed; check the name in the remote list.");
  }
  if (!rclone) {
    const std::string missing(kRcloneNotInstalled);
    return command->takesRemote ? verdict(false, missing) : refusal(1, missing);
  }
  return command->handler(runner, *rclone, name);
}

}  // namespace brimvale::cloud
