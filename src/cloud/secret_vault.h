// The credential vault: the secrets people type into the account forms, kept
// as one encrypted file whose key is made at run time from this computer's
// fingerprint and a random pepper, and never stored.
#pragma once

#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "cloud/pepper_store.h"
#include "cloud/vault_crypto.h"
#include "common/base/file_lock.h"
#include "common/base/file_operations.h"
#include "common/base/timestamps.h"
#include "platform/user_defaults.h"

namespace brimvale::cloud {

// namespace (the remote name) -> field name -> value.
using SecretMap = std::map<std::string, std::map<std::string, std::string>>;

struct VaultLocation {
  std::filesystem::path vaultFile;
  // Holds the pepper file; stays under the state folder wherever the vault
  // file is put, so moving the vault elsewhere never moves its key material.
  std::filesystem::path secretsDir;
};

// The user default `BVSecretVaultPath` when it is set and not empty (a
// leading "~" is `home`), else {home}/.brimvale/secrets/vault.enc.
[[nodiscard]] VaultLocation vaultLocation(platform::UserDefaults& defaults,
                                          const std::filesystem::path& home);

// The fixed label mixed into the vault key; changing it orphans every vault.
inline constexpr std::string_view kVaultKeyLabel = "brimvale-vault-1";

class SecretVault {
 public:
  SecretVault(VaultLocation location, PepperStore& pepper, std::string fingerprint,
              WallClock clock = systemClock(), FileOperations& ops = FileOperations::real());

  // The whole map; a missing vault file is an empty map. Any other failure
  // is an error and leaves the file as it is.
  [[nodiscard]] std::expected<SecretMap, VaultError> load();

  // Sets one value and writes the vault.
  [[nodiscard]] std::expected<void, VaultError> set(const std::string& ns, const std::string& key,
                                                    const std::string& value);
  // Sets every value of `changes` with one write of the vault.
  [[nodiscard]] std::expected<void, VaultError> setAll(const SecretMap& changes);

  // Deletes every value kept for `ns` (a removed remote), leaving the other
  // namespaces as they are. Returns whether there was anything to delete;
  // without any the vault is not rewritten.
  [[nodiscard]] std::expected<bool, VaultError> forget(const std::string& ns);

  // Takes the vault file out of use so a new, empty vault can be written.
  // The old file is kept beside it (see keepAside; the pepper stays too), so a vault that only
  // failed because its key material went missing can still be recovered. Returns where it was kept;
  // nothing when there was no vault.
  [[nodiscard]] Result<std::optional<std::filesystem::path>> vaultReset();

  [[nodiscard]] const VaultLocation& location() const { return location_; }

 private:
  // A change is refused whenever the current vault cannot be read: writing a
  // new one would throw away the only copy of the user's secrets.
  [[nodiscard]] std::expected<void, VaultError> write(const SecretMap& map);
  [[nodiscard]] std::expected<std::string, VaultError> key(bool makePepper);
  // The application and the command line may both change the vault: holding
  // this lock from read to rename keeps one's change from undoing the other's.
  [[nodiscard]] std::expected<FileLock, VaultError> lockForChange();

  VaultLocation location_;
  PepperStore& pepper_;
  std::string fingerprint_;
  WallClock clock_;
  FileOperations& ops_;
};

}  // namespace brimvale::cloud
