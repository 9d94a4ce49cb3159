// Browser sign-in for accounts that authorise through OAuth: rclone runs its
// local callback, Brimvale opens the provider's page once and reports each
// step until rclone has saved the token.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "cloud/rclone_config_commands.h"
#include "cloud/rclone_locator.h"

namespace brimvale::cloud {

enum class AuthStep { kIdle, kStarting, kLaunching, kBrowserOpen, kSaving, kDone, kFailed };

struct AuthState {
  AuthStep step = AuthStep::kIdle;
  std::string message;        // what the sheet shows for the step
  std::string signInAddress;  // set from kBrowserOpen on
  std::string remote;         // set at kDone
};

#if defined(__APPLE__)
inline constexpr std::string_view kAuthNeedsRclone =
    "rclone is not installed.\n\nInstall with:\n  brew install rclone";
#else
inline constexpr std::string_view kAuthNeedsRclone =
    "rclone is not installed.\n\nInstall with:\n  sudo apt install rclone";
#endif
// Shown before the sign-in address.
inline constexpr std::string_view kWillOpenPrefix = "Will open in your default browser: ";
// The redirect address to register for custom OAuth credentials.
inline constexpr std::string_view kOAuthRedirectAddress = "http://127.0.0.1:53682/";

// The first address in `output` that leads to a sign-in page (the
// provider's account host, an "oauth2" path, or rclone's loopback server,
// but not its bare callback address), trailing quotes and punctuation
// dropped, with "prompt=select_account" added when it names no prompt.
[[nodiscard]] std::optional<std::string> signInAddressIn(std::string_view output);
// `address` with "prompt=select_account" added, unless its query already
// has an item named "prompt".
[[nodiscard]] std::string withAccountChooser(const std::string& address);

// Opens an address in the user's default browser.
using BrowserOpener = std::function<void(const std::string& address)>;
// xdg-open on Linux, /usr/bin/open on macOS, run through `run`.
[[nodiscard]] BrowserOpener systemBrowserOpener(ProcessRunner run);

class RcloneAuth {
 public:
  // `observer` gets every state change on the sign-in's own thread; the
  // caller moves it to its own. `config` writes custom credentials first.
  // rclone runs through `run`.
  RcloneAuth(std::optional<std::string> rclone, ProcessRunner run, RcloneConfigCommands& config,
             BrowserOpener opener, std::function<void(const AuthState&)> observer,
             std::chrono::milliseconds savingPause = std::chrono::milliseconds(400));
  ~RcloneAuth();
  RcloneAuth(const RcloneAuth&) = delete;
  RcloneAuth& operator=(const RcloneAuth&) = delete;

  // Starts a sign-in from the beginning (a running one is cancelled first)
  // and returns at once. Not to be called from the observer or the opener,
  // which run on the sign-in's thread that this waits for. A name already in
  // use is refused (rclone would replace that remote). A client secret never
  // reaches an argument list: with one, the remote is first defined with both
  // credentials, then rclone is asked to sign it in; a sign-in that then
  // fails or is cancelled removes it.
  void signIn(const std::string& name, const std::string& type, const std::string& clientId = {},
              const std::string& clientSecret = {});
  // Ends rclone; a cancelled sign-in reports no failure.
  void cancel();
  // Blocks until the current sign-in has ended.
  void wait();
  [[nodiscard]] AuthState state() const;

 private:
  void publish(AuthState state);
  void runSignIn(std::string name, std::string type, std::string clientId,
                 std::string clientSecret);

  std::optional<std::string> rclone_;
  ProcessRunner run_;
  RcloneConfigCommands& config_;
  BrowserOpener opener_;
  std::function<void(const AuthState&)> observer_;
  std::chrono::milliseconds savingPause_;

  mutable std::mutex mutex_;
  AuthState state_;
  int pid_ = 0;
  bool cancelled_ = false;
  std::thread thread_;
};

}  // namespace brimvale::cloud
