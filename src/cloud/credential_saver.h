// Saving an account from its form: the typed secrets into the vault (one
// write), then rclone's remote definition, then the remote's details record.
// Each step runs only when the one before it succeeded.
#pragma once

#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/rclone_config_commands.h"
#include "cloud/remote_metadata.h"
#include "cloud/secret_vault.h"

namespace brimvale::cloud {

// Posted when a remote's default bucket changes, carrying "remoteName" and "newBucket".
inline constexpr std::string_view kRemoteBucketChanged = "Brimvale.remoteBucketChanged";
struct BucketChange {
  std::string remoteName;
  std::string newBucket;
};

enum class SaveMode { kCreate, kEdit };

struct AccountSave {
  SaveMode mode = SaveMode::kCreate;
  std::string remoteName;
  std::string type;
  std::string displayName;
  std::vector<RemoteKey> keys;                 // in the order rclone gets them
  std::map<std::string, std::string> secrets;  // vault field -> value; empty values are skipped
  std::optional<std::string> defaultBucket;    // S3 only
};

enum class SaveStep { kVault, kRcloneConfig, kDetails };

struct SaveFailure {
  SaveStep step = SaveStep::kVault;
  std::string message;  // complete sentences: what failed and what was kept
};

class CredentialSaver {
 public:
  CredentialSaver(SecretVault& vault, RcloneConfigCommands& rclone, RemoteMetadataStore& details,
                  std::function<void(const BucketChange&)> onBucketChanged = {});

  // A new remote is created with every key; an edited one gets one update
  // per key that differs from rclone's current value (secrets always).
  [[nodiscard]] std::expected<void, SaveFailure> save(const AccountSave& account);

 private:
  [[nodiscard]] std::expected<void, SaveFailure> writeRcloneConfig(const AccountSave& account);

  SecretVault& vault_;
  RcloneConfigCommands& rclone_;
  RemoteMetadataStore& details_;
  std::function<void(const BucketChange&)> onBucketChanged_;
};

}  // namespace brimvale::cloud
