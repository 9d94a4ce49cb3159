#include "cloud/secret_vault.h"

#include <sys/stat.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "cloud/kept_aside.h"
#include "common/base/file_io.h"
#include "common/base/file_lock.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

VaultError encryptFailed(std::string detail) {
  return VaultError{VaultErrc::kEncryptFailed, 0, {}, std::move(detail)};
}

std::optional<SecretMap> decodeMap(const std::string& text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  SecretMap map;
  for (const auto& [ns, fields] : j.items()) {
    if (!fields.is_object()) return std::nullopt;
    for (const auto& [field, value] : fields.items()) {
      if (!value.is_string()) return std::nullopt;
      map[ns][field] = value.get<std::string>();
    }
  }
  return map;
}

}  // namespace

VaultLocation vaultLocation(platform::UserDefaults& defaults, const fs::path& home) {
  fs::path secretsDir = home / ".brimvale" / "secrets";
  auto configured = defaults.getString("BVSecretVaultPath");
  if (!configured || configured->empty()) return {secretsDir / "vault.enc", secretsDir};
  std::string path = *configured;
  if (path == "~") return {home, secretsDir};
  if (path.starts_with("~/")) return {home / path.substr(2), secretsDir};
  return {fs::path(path), secretsDir};
}

SecretVault::SecretVault(VaultLocation location, PepperStore& pepper, std::string fingerprint,
                         WallClock clock, FileOperations& ops)
    : location_(std::move(location)),
      pepper_(pepper),
      fingerprint_(std::move(fingerprint)),
      clock_(std::move(clock)),
      ops_(ops) {}

std::expected<std::string, VaultError> SecretVault::key(bool makePepper) {
  auto pepper = pepper_.load();
  if (!pepper) {
    return std::unexpected(
        VaultError{makePepper ? VaultErrc::kEncryptFailed : VaultErrc::kDecryptFailed,
                   0,
                   {},
                   pepper.error().detail});
  }
  if (!*pepper) {
    if (!makePepper) {
      return std::unexpected(
          VaultError{VaultErrc::kDecryptFailed, 0, {}, "the key material is missing"});
    }
    auto fresh = secureRandomBytes(kPepperBytes);
    if (!fresh) return std::unexpected(encryptFailed(fresh.error().detail));
    if (auto kept = pepper_.keep(*fresh); !kept) {
      return std::unexpected(encryptFailed(kept.error().detail));
    }
    *pepper = *fresh;
  }
  return sha256({fingerprint_, **pepper, kVaultKeyLabel});
}

std::expected<SecretMap, VaultError> SecretVault::load() {
  std::error_code ec;
  if (!fs::exists(location_.vaultFile, ec) && !ec) return SecretMap{};
  auto text = readFile(location_.vaultFile);
  if (!text) {
    return std::unexpected(VaultError{VaultErrc::kReadFailed, 0, {}, text.error().detail});
  }
  // The envelope is checked before the key is made, so a damaged file says
  // so rather than blaming the key material.
  auto shape = openEnvelope({}, *text);
  if (!shape && shape.error().fault != EnvelopeFault::kOpenFailed) {
    return std::unexpected(vaultErrorFor(shape.error()));
  }
  auto k = key(false);
  if (!k) return std::unexpected(k.error());
  auto opened = openEnvelope(*k, *text);
  if (!opened) return std::unexpected(vaultErrorFor(opened.error()));
  auto map = decodeMap(opened->plaintext);
  if (!map) {
    return std::unexpected(VaultError{VaultErrc::kCorrupted, 0,
                                      "The decrypted contents aren't a list of credentials."});
  }
  return *map;
}

std::expected<void, VaultError> SecretVault::set(const std::string& ns, const std::string& key,
                                                 const std::string& value) {
  return setAll(SecretMap{{ns, {{key, value}}}});
}

std::expected<FileLock, VaultError> SecretVault::lockForChange() {
  if (auto made = ensurePrivateFolder(location_.secretsDir); !made) {
    return std::unexpected(encryptFailed(made.error().detail));
  }
  fs::path lockFile = location_.secretsDir / ".vault.lock";
  auto lock = FileLock::open(lockFile);
  if (!lock) return std::unexpected(encryptFailed(lockFile.string() + ": " + lock.error().detail));
  if (auto held = lock->lock(); !held) {
    return std::unexpected(encryptFailed(lockFile.string() + ": " + held.error().detail));
  }
  return std::move(*lock);
}

std::expected<void, VaultError> SecretVault::setAll(const SecretMap& changes) {
  auto lock = lockForChange();
  if (!lock) return std::unexpected(lock.error());
  auto map = load();
  if (!map) return std::unexpected(map.error());
  for (const auto& [ns, fields] : changes) {
    for (const auto& [field, value] : fields) (*map)[ns][field] = value;
  }
  return write(*map);
}

std::expected<bool, VaultError> SecretVault::forget(const std::string& ns) {
  auto lock = lockForChange();
  if (!lock) return std::unexpected(lock.error());
  auto map = load();
  if (!map) return std::unexpected(map.error());
  if (map->erase(ns) == 0) return false;
  if (auto written = write(*map); !written) return std::unexpected(written.error());
  return true;
}

std::expected<void, VaultError> SecretVault::write(const SecretMap& map) {
  auto k = key(true);
  if (!k) return std::unexpected(k.error());
  nlohmann::json j = map;
  auto envelope = sealEnvelope(*k, j.dump(), isots(clock_()));
  if (!envelope) return std::unexpected(encryptFailed("AES-GCM sealing failed"));

  const fs::path& target = location_.vaultFile;
  if (auto made = ensurePrivateFolder(target.parent_path()); !made) {
    return std::unexpected(encryptFailed(made.error().detail));
  }
  fs::path temp = target;
  temp += ".tmp";
  if (auto written = writeFileAtomically(temp, encodeEnvelope(*envelope)); !written) {
    return std::unexpected(encryptFailed(written.error().detail));
  }
  if (auto ec = ops_.rename(temp, target)) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return std::unexpected(encryptFailed("replacing " + target.string() + ": " + ec.message()));
  }
  if (::chmod(target.c_str(), 0600) != 0) {
    return std::unexpected(
        encryptFailed(errnoError("restricting " + target.string(), errno).detail));
  }
  return {};
}

Result<std::optional<fs::path>> SecretVault::vaultReset() {
  std::error_code ec;
  if (!fs::exists(location_.vaultFile, ec) && !ec) return std::nullopt;
  auto lock = lockForChange();
  if (!lock) return fail(Errc::kIo, lock.error().detail);
  auto aside = keepAside(ops_, location_.vaultFile, clock_());
  if (!aside) {
    return std::unexpected(
        errnoError("setting aside " + location_.vaultFile.string(), aside.error().value()));
  }
  return *aside;
}

}  // namespace brimvale::cloud
