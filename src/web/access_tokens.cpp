#include "web/access_tokens.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <optional>
#include <system_error>

#include "common/base/file_io.h"

namespace brimvale::web {
namespace fs = std::filesystem;

namespace {
constexpr std::size_t kKeyBytes = 32;

// The issue time a token file holds; nothing when it can't be read.
std::optional<std::time_t> issuedAt(const fs::path& file) {
  auto text = readFile(file);
  if (!text) return std::nullopt;
  std::time_t issued = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), issued);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return issued;
}

// A clock that went back closes the session too: its idle time is unknown.
bool stillOpen(std::time_t lastUsed, std::time_t now) {
  return now >= lastUsed && std::chrono::seconds(now - lastUsed) <= kSessionIdleLimit;
}

}  // namespace

Result<std::string> randomKey() {
  std::array<unsigned char, kKeyBytes> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    return fail(Errc::kUnavailable, "the secure random source gave no bytes");
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string key;
  key.reserve(kKeyBytes * 2);
  for (unsigned char b : bytes) {
    key += kDigits[b >> 4];
    key += kDigits[b & 0xf];
  }
  return key;
}

bool looksLikeKey(std::string_view text) {
  if (text.size() != kKeyBytes * 2) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TokenBook::TokenBook(fs::path folder, Clock now)
    : folder_(std::move(folder)), now_(std::move(now)) {}

Result<std::string> TokenBook::mint() const {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  fs::permissions(folder_, fs::perms::owner_all, ec);
  if (ec) return std::unexpected(errnoError(folder_.string(), ec.value()));
  // Links never used would otherwise pile up: the expired ones go now.
  const std::time_t now = now_();
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    if (!looksLikeKey(it->path().filename().string())) continue;
    const auto issued = issuedAt(it->path());
    if (!issued || now < *issued || now - *issued > kTokenLifetime.count()) {
      ::unlink(it->path().c_str());
    }
  }
  auto token = randomKey();
  if (!token) return token;
  if (auto written = writeFileAtomically(folder_ / *token, std::to_string(now_()), {.mode = 0600});
      !written) {
    return std::unexpected(written.error());
  }
  return token;
}

bool TokenBook::redeem(std::string_view token) const {
  if (!looksLikeKey(token)) return false;
  const fs::path file = folder_ / std::string(token);
  const auto issued = issuedAt(file);
  // Removing is what spends the token: of two redeemers only one unlinks it.
  if (::unlink(file.c_str()) != 0 || !issued) return false;
  const std::time_t now = now_();
  return now >= *issued && now - *issued <= kTokenLifetime.count();
}

SessionBook::SessionBook(Clock now) : now_(std::move(now)) {}

Result<std::string> SessionBook::open() {
  auto key = randomKey();
  if (!key) return key;
  std::lock_guard lock(mutex_);
  const std::time_t now = now_();
  // Idle ones go now, so a long run does not pile them up.
  std::erase_if(lastUsed_, [&](const auto& entry) { return !stillOpen(entry.second, now); });
  lastUsed_.emplace(*key, now);
  return key;
}

bool SessionBook::use(std::string_view key) {
  std::lock_guard lock(mutex_);
  const auto found = lastUsed_.find(key);
  if (found == lastUsed_.end()) return false;
  const std::time_t now = now_();
  if (!stillOpen(found->second, now)) {
    lastUsed_.erase(found);
    return false;
  }
  found->second = now;
  return true;
}

}  // namespace brimvale::web
