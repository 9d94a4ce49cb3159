#include "app/dashboard/dashboard_remotes.h"

#include <sstream>

#include "app/core/line_stream.h"
#include "app/core/remote_add.h"
#include "app/core/remotes_command.h"
#include "cloud/machine_fingerprint.h"
#include "cloud/pepper_store.h"
#include "cloud/rclone_client.h"
#include "cloud/rclone_locator.h"
#include "cloud/secret_vault.h"

namespace brimvale::app {
namespace {

constexpr std::string_view kNoRemoteName = "Choose a remote first. Nothing was changed.";
constexpr std::string_view kSignInBusy =
    "A sign-in started here is still waiting for the browser. Nothing new was started; finish "
    "or cancel that one first.";

// The form's fields as `remotes add` options: text as typed, ticks as "true".
std::map<std::string, std::string> formOptions(const nlohmann::json& body) {
  std::map<std::string, std::string> options;
  const auto it = body.find("options");
  if (it == body.end() || !it->is_object()) return options;
  for (const auto& [key, value] : it->items()) {
    if (value.is_string() && !value.get<std::string>().empty()) options[key] = value;
    if (value.is_boolean() && value.get<bool>()) options[key] = "true";
  }
  return options;
}

}  // namespace

RemotesRoutes::RemotesRoutes(const DashboardSources& sources, web::DashboardServer& server)
    : sources_(sources), server_(server) {
  server.post("remotes/sign-in", [this](const nlohmann::json& body) { return signIn(body); });
  server.post("remotes/sign-in/cancel", [this](const nlohmann::json&) {
    cancelSignIn_ = true;
    return web::jsonReply({{"cancelling", true}}, 202);
  });
  server.get("rclone", [this] { return rclone(); });
  server.get("remotes", [this] { return remotes({"list"}, {}, true); });
  server.post("remotes/add", [this](const nlohmann::json& body) {
    return remotes({"add", web::bodyText(body, "type"), web::bodyText(body, "name")}, body, false);
  });
  // A remote folder listed, or one made or deleted there ("change").
  server.post("remotes/browse", [this](const nlohmann::json& body) {
    std::vector<std::string> words{"browse", web::bodyText(body, "target")};
    const std::string change = web::bodyText(body, "change");
    if (!change.empty()) words.push_back(change);
    return remotes(words, body, change.empty());
  });
  for (const char* action : {"show", "test", "edit", "fix-region", "remove"}) {
    server.post(std::string("remotes/") + action, [this, action](const nlohmann::json& body) {
      const std::string name = web::bodyText(body, "name");
      if (name.empty()) return web::sentenceReply(400, std::string(kNoRemoteName));
      const std::string renamed = web::bodyText(body, "newName", name);
      if (std::string_view(action) == "edit" && renamed != name) {
        return web::sentenceReply(400, std::string(kRenameRefused) + " Nothing was changed.");
      }
      const std::string_view verb(action);
      return remotes({action, name}, body, verb == "show" || verb == "test");
    });
  }
}

// A sign-in still waiting for the browser ends before its thread is joined.
RemotesRoutes::~RemotesRoutes() { cancelSignIn_ = true; }

web::Reply RemotesRoutes::signIn(const nlohmann::json& body) {
  const std::vector<std::string> words{"sign-in", web::bodyText(body, "type"),
                                       web::bodyText(body, "name")};
  const bool started = signIn_.start([this, words, body] {
    cancelSignIn_ = false;
    auto& events = server_.events();
    int status = 1;
    {
      LineBuffer outLines([&](const std::string& line) {
        if (!line.empty()) events.publish("sign-in-line", nlohmann::json{{"line", line}}.dump());
      });
      LineBuffer errLines([&](const std::string& line) {
        if (!line.empty()) events.publish("sign-in-problem", nlohmann::json{{"line", line}}.dump());
      });
      std::ostream out(&outLines);
      std::ostream err(&errLines);
      // The page runs in the user's browser: it offers the address as a link
      // there instead of another window opening.
      status = run(words, body, out, err, [&](const std::string& address) {
        events.publish("sign-in-address", nlohmann::json{{"address", address}}.dump());
      });
    }
    events.publish("sign-in-done", nlohmann::json{{"status", status}}.dump());
  });
  if (!started) return web::sentenceReply(409, std::string(kSignInBusy));
  return web::jsonReply({{"started", true}}, 202);
}

web::Reply RemotesRoutes::rclone() {
  const ProcessRunner runner = platform::runnerOf(sources_.launcher);
  const auto found = cloud::locateRclone(cloud::defaultRcloneSearch(), runner);
  // The install command of this platform, as the command line's sentence gives it.
  const std::string_view missing = cloud::kRcloneNotInstalled;
  nlohmann::json answer{{"installed", found.has_value()},
                        {"version", nullptr},
                        {"installHint", missing.substr(missing.find(": ") + 2)}};
  if (found) {
    if (auto version = cloud::rcloneVersion(*found, runner)) answer["version"] = *version;
  }
  return web::jsonReply(answer);
}

int RemotesRoutes::run(const std::vector<std::string>& words, const nlohmann::json& body,
                       std::ostream& out, std::ostream& err, cloud::BrowserOpener opener,
                       bool json) {
  const ProcessRunner runner = platform::runnerOf(sources_.launcher);
  const auto location = cloud::vaultLocation(*sources_.platform.defaults, homeFolder());
  const auto pepper = cloud::makeHostPepperStore(location.secretsDir);
  cloud::SecretVault vault(location, *pepper, cloud::hostFingerprint(runner).text);
  cloud::RemoteMetadataStore details(cloud::MetadataFiles::inStateFolder(sources_.paths.state),
                                     cloud::hostFingerprint(runner), std::nullopt);
  const std::string secret = web::bodyText(body, "secret");
  RemotesCommandContext context{
      .rclone = cloud::locateRclone(cloud::defaultRcloneSearch(), runner),
      .out = out,
      .err = err,
      .runner = runner,
      .vault = &vault,
      .details = &details,
      .addOptions = formOptions(body),
      .askSecret = [&secret](const std::string&) -> Result<std::string> { return secret; },
      // The page asked with the removal's warning before it came here.
      .yes = true,
      .openBrowser = std::move(opener),
      .cancel = &cancelSignIn_};
  return remotesCommand(context, words, json);
}

web::Reply RemotesRoutes::remotes(const std::vector<std::string>& words, const nlohmann::json& body,
                                  bool json) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = run(words, body, out, err, {}, json);
  // A test that did not connect still answers with its verdict.
  if (json && !out.str().empty()) {
    return {.status = 200, .contentType = "application/json", .body = out.str()};
  }
  if (status != 0) return web::sentenceReply(status == 2 ? 400 : 409, err.str());
  std::string message = out.str();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return web::jsonReply({{"message", message}});
}

}  // namespace brimvale::app
