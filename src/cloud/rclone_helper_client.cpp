#include "cloud/rclone_helper_client.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace brimvale::cloud {
namespace {

using Json = nlohmann::json;

template <class T>
Result<T> decoded(const std::string& text) {
  try {
    return Json::parse(text).get<T>();
  } catch (const Json::exception& e) {
    return fail(Errc::kParse, std::string("rclone-helper printed something unexpected (") +
                                  e.what() +
                                  "). Nothing was changed; restart Brimvale so it installs its "
                                  "helper programs again.");
  }
}

Result<HelperVerdict> verdictOf(const std::string& text) {
  const Json answer = Json::parse(text, nullptr, false);
  if (!answer.is_object() || !answer.contains("ok") || !answer["ok"].is_boolean() ||
      !answer.contains("message") || !answer["message"].is_string()) {
    return fail(Errc::kParse,
                "rclone-helper printed something unexpected; the result is unknown. Open the "
                "remote list again to see the current state.\n\n" +
                    text);
  }
  return HelperVerdict{answer["ok"].get<bool>(), answer["message"].get<std::string>()};
}

}  // namespace

RcloneHelperClient::RcloneHelperClient(std::filesystem::path helper, ProcessRunner runner)
    : helper_(std::move(helper)), runner_(std::move(runner)) {}

Result<std::string> RcloneHelperClient::output(std::vector<std::string> args) const {
  ProcessInvocation invocation{.path = helper_.string(), .args = std::move(args)};
  invocation.deadline = kHelperLimit;
  ProcessResult result = runner_(invocation);
  switch (result.outcome) {
    case ProcessOutcome::kFailedToStart:
      return fail(Errc::kLaunchFailed, "rclone-helper could not start (" + result.launchError +
                                           "). Nothing was changed; restart Brimvale so it "
                                           "installs its helper programs again.");
    case ProcessOutcome::kTimedOut:
      return fail(Errc::kTimedOut,
                  "rclone-helper gave no answer within 60 seconds and was stopped. Nothing was "
                  "changed; try again.");
    case ProcessOutcome::kSignalled:
    case ProcessOutcome::kExited: break;
  }
  if (!result.succeeded()) {
    std::string why = result.err.empty() ? "rclone-helper " + result.describe() : result.err;
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    return fail(Errc::kToolFailed, why);
  }
  return std::move(result.out);
}

Result<std::vector<Remote>> RcloneHelperClient::remotesList() const {
  auto text = output({"remotes-list"});
  if (!text) return std::unexpected(text.error());
  return decoded<std::vector<Remote>>(*text);
}

Result<std::vector<RemoteType>> RcloneHelperClient::remoteTypes() const {
  auto text = output({"remote-types"});
  if (!text) return std::unexpected(text.error());
  return decoded<std::vector<RemoteType>>(*text);
}

Result<HelperVerdict> RcloneHelperClient::remoteTest(const std::string& name) const {
  auto text = output({"remote-test", name});
  if (!text) return std::unexpected(text.error());
  return verdictOf(*text);
}

Result<HelperVerdict> RcloneHelperClient::remoteRemove(const std::string& name) const {
  auto text = output({"remote-remove", name});
  if (!text) return std::unexpected(text.error());
  return verdictOf(*text);
}

}  // namespace brimvale::cloud
