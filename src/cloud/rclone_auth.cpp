#include "cloud/rclone_auth.h"

#include <signal.h>

#include <regex>
#include <utility>
#include <vector>

#include "cloud/rclone_client.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace {

constexpr std::size_t kFailureTail = 800;

bool leadsToSignIn(std::string_view address) {
  for (std::string_view mark : {"accounts.google.com", "oauth2", "127.0.0.1", "localhost"}) {
    if (address.find(mark) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

std::string withAccountChooser(const std::string& address) {
  const auto hash = address.find('#');
  const std::string base = address.substr(0, hash);
  const std::string fragment = hash == std::string::npos ? "" : address.substr(hash);
  const auto question = base.find('?');
  if (question != std::string::npos) {
    std::string_view query = std::string_view(base).substr(question + 1);
    while (!query.empty()) {
      const auto amp = query.find('&');
      const std::string_view item = query.substr(0, amp);
      if (item.substr(0, item.find('=')) == "prompt") return address;
      if (amp == std::string_view::npos) break;
      query.remove_prefix(amp + 1);
    }
  }
  const char* joint = question == std::string::npos                ? "?"
                      : base.ends_with('?') || base.ends_with('&') ? ""
                                                                   : "&";
  return base + joint + "prompt=select_account" + fragment;
}

std::optional<std::string> signInAddressIn(std::string_view output) {
  static const std::regex kAddress(R"(https?://[^\s]+)");
  const std::string text(output);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kAddress);
       it != std::sregex_iterator(); ++it) {
    // rclone quotes addresses in its notices; the quote is not part of them.
    std::string address = it->str();
    while (!address.empty() &&
           std::string_view("\"'),.;>").find(address.back()) != std::string_view::npos) {
      address.pop_back();
    }
    // With custom credentials rclone first names its callback address, which
    // only answers the provider's redirect; the sign-in page comes after.
    if (address == kOAuthRedirectAddress) continue;
    if (leadsToSignIn(address)) return withAccountChooser(address);
  }
  return std::nullopt;
}

BrowserOpener systemBrowserOpener(ProcessRunner run) {
#ifdef __APPLE__
  const std::string opener = "/usr/bin/open";
#else
  const std::string opener = findExecutable("xdg-open");
#endif
  return [opener, run = std::move(run)](const std::string& address) {
    if (opener.empty()) return;  // the sheet still shows the address to open by hand
    (void)runTool(run, opener, {address}, std::chrono::seconds(30));
  };
}

RcloneAuth::RcloneAuth(std::optional<std::string> rclone, ProcessRunner run,
                       RcloneConfigCommands& config, BrowserOpener opener,
                       std::function<void(const AuthState&)> observer,
                       std::chrono::milliseconds savingPause)
    : rclone_(std::move(rclone)),
      run_(std::move(run)),
      config_(config),
      opener_(std::move(opener)),
      observer_(std::move(observer)),
      savingPause_(savingPause) {}

RcloneAuth::~RcloneAuth() {
  cancel();
  wait();
}

void RcloneAuth::signIn(const std::string& name, const std::string& type,
                        const std::string& clientId, const std::string& clientSecret) {
  cancel();
  wait();
  {
    std::lock_guard lock(mutex_);
    cancelled_ = false;
    pid_ = 0;
  }
  thread_ = std::thread(&RcloneAuth::runSignIn, this, name, type, trimmed(clientId),
                        trimmed(clientSecret));
}

void RcloneAuth::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  if (pid_ > 0) ::kill(-pid_, SIGTERM);
}

void RcloneAuth::wait() {
  if (thread_.joinable()) thread_.join();
}

AuthState RcloneAuth::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void RcloneAuth::publish(AuthState state) {
  {
    std::lock_guard lock(mutex_);
    state_ = state;
  }
  if (observer_) observer_(state);
}

void RcloneAuth::runSignIn(std::string name, std::string type, std::string clientId,
                           std::string clientSecret) {
  publish({AuthStep::kStarting, "Starting authentication\u2026"});
  if (!rclone_) {
    publish({AuthStep::kFailed, std::string(kAuthNeedsRclone)});
    return;
  }
  if (!isUsableRemoteName(name)) {
    publish({AuthStep::kFailed, "\"" + name +
                                    "\" is not a name rclone accepts for a remote. "
                                    "Choose a name without a leading dash, colons or slashes."});
    return;
  }
  publish({AuthStep::kLaunching, "Launching rclone and preparing the OAuth callback\u2026"});

  // rclone would replace an existing remote of that name with the new sign-in.
  auto existing = config_.dump();
  if (!existing) {
    publish({AuthStep::kFailed, existing.error().detail});
    return;
  }
  if (existing->contains(name)) {
    publish({AuthStep::kFailed, existingRemoteText(name)});
    return;
  }
  std::vector<std::string> args;
  const bool predefined = !clientSecret.empty();
  if (predefined) {
    std::vector<RemoteKey> keys;
    if (!clientId.empty()) keys.push_back({"client_id", clientId});
    keys.push_back({"client_secret", clientSecret, true});
    if (auto created = config_.createRemote(name, type, keys); !created) {
      publish({AuthStep::kFailed, created.error().detail});
      return;
    }
    // rclone re-runs the sign-in of an existing remote when asked to update
    // it; the credentials it needs are already stored.
    args = {"config", "update", name, "config_is_local=true"};
  } else {
    args = {"config", "create", name, type, "config_is_local=true"};
    if (!clientId.empty()) args.push_back("client_id=" + clientId);
  }

  // Both streams are read on this thread, one chunk at a time.
  std::string output;
  bool opened = false;
  const auto collect = [&](std::string_view chunk) {
    output += chunk;
    if (opened) return;
    // Only whole lines: a read can end in the middle of the address.
    const auto lineEnd = output.rfind('\n');
    if (lineEnd == std::string::npos) return;
    const auto address = signInAddressIn(std::string_view(output).substr(0, lineEnd + 1));
    if (!address) return;
    opened = true;
    AuthState open{AuthStep::kBrowserOpen, "Opening browser\u2026", *address};
    publish(open);
    if (opener_) opener_(*address);
    open.message = "Your browser is open with Google's account picker.";
    publish(open);
  };
  ProcessInvocation invocation{.path = *rclone_, .args = std::move(args)};
  invocation.onStdout = collect;
  invocation.onStderr = collect;
  invocation.dieWithParent = true;
  invocation.onStart = [this](int pid) {
    std::lock_guard lock(mutex_);
    pid_ = pid;
    if (cancelled_) ::kill(-pid, SIGTERM);
  };
  const ProcessResult result = run_(invocation);
  bool cancelled = false;
  {
    std::lock_guard lock(mutex_);
    pid_ = 0;
    cancelled = cancelled_;
  }
  const bool succeeded = result.succeeded() && !cancelled;
  if (!succeeded && predefined) {
    // Without a token the remote cannot be used; the user signs in again.
    (void)runTool(run_, *rclone_, {"config", "delete", name}, std::chrono::seconds(30));
  }
  if (cancelled) {
    publish({AuthStep::kIdle, {}});
    return;
  }
  if (result.outcome == ProcessOutcome::kFailedToStart) {
    publish({AuthStep::kFailed, "Could not launch rclone: " + result.launchError});
    return;
  }
  if (!result.succeeded()) {
    const int status =
        result.outcome == ProcessOutcome::kSignalled ? -result.signal : result.exitCode;
    std::size_t from = output.size() > kFailureTail ? output.size() - kFailureTail : 0;
    // Never start inside a UTF-8 character.
    while (from < output.size() && (static_cast<unsigned char>(output[from]) & 0xC0) == 0x80) {
      ++from;
    }
    const std::string tail = output.substr(from);
    publish({AuthStep::kFailed,
             "rclone exited with code " + std::to_string(status) + ".\n\nLast output:\n" + tail});
    return;
  }
  publish(
      {AuthStep::kSaving, "Saving account\u2026 Writing the OAuth token to rclone's config\u2026"});
  std::this_thread::sleep_for(savingPause_);
  publish({AuthStep::kDone,
           name + " is now available as a transfer source or destination. The OAuth token is "
                  "saved \u2014 this account stays signed in until you remove it from the "
                  "Remotes window.",
           {},
           name});
}

}  // namespace brimvale::cloud
