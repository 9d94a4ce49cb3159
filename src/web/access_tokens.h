// Who may use the dashboard: one-time sign-in tokens minted by whoever can
// write to the user's state folder (`brimvale open`), each valid for 60
// seconds and redeemable once, exchanged for a session key the browser keeps
// in a cookie. Secrets come from the system's secure random source.
#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "common/base/error.h"

namespace brimvale::web {

inline constexpr std::chrono::seconds kTokenLifetime{60};
// The folder under the state folder that holds unredeemed tokens, one file each.
inline constexpr std::string_view kTokenFolder = "dashboard-tokens";

// 32 bytes from the secure random source as 64 lower-case hex digits.
[[nodiscard]] Result<std::string> randomKey();

// True for exactly what randomKey() produces, so a key can name a file.
[[nodiscard]] bool looksLikeKey(std::string_view text);

using Clock = std::function<std::time_t()>;

// The token files: minting writes {folder}/{token} (0600, in a 0700 folder)
// holding its issue time; redeeming removes the file, so of two redeemers
// only one succeeds, and a token older than kTokenLifetime is refused (and
// removed all the same).
class TokenBook {
 public:
  TokenBook(std::filesystem::path folder, Clock now);

  // Also removes every expired token left unredeemed.
  [[nodiscard]] Result<std::string> mint() const;
  // True once for a fresh token; false for anything else, including a
  // malformed token (never used as a file name then).
  [[nodiscard]] bool redeem(std::string_view token) const;

 private:
  std::filesystem::path folder_;
  Clock now_;
};

// A session left unused this long is closed: a browser forgotten open on a
// shared machine does not keep its way in for good.
inline constexpr std::chrono::hours kSessionIdleLimit{12};

// The session keys handed out by this run of the server, each with when it
// was last used. Thread-safe.
class SessionBook {
 public:
  explicit SessionBook(Clock now);
  [[nodiscard]] Result<std::string> open();
  // True for a key opened here and used within kSessionIdleLimit; counts as
  // a use. An idle key is closed for good.
  [[nodiscard]] bool use(std::string_view key);

 private:
  Clock now_;
  std::mutex mutex_;
  std::map<std::string, std::time_t, std::less<>> lastUsed_;
};

}  // namespace brimvale::web
