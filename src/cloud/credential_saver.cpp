#include "cloud/credential_saver.h"

#include "cloud/account_forms.h"

namespace brimvale::cloud {

CredentialSaver::CredentialSaver(SecretVault& vault, RcloneConfigCommands& rclone,
                                 RemoteMetadataStore& details,
                                 std::function<void(const BucketChange&)> onBucketChanged)
    : vault_(vault),
      rclone_(rclone),
      details_(details),
      onBucketChanged_(std::move(onBucketChanged)) {}

std::expected<void, SaveFailure> CredentialSaver::save(const AccountSave& account) {
  SecretMap typed;
  for (const auto& [field, value] : account.secrets) {
    if (!value.empty()) typed[account.remoteName][field] = value;
  }
  if (!typed.empty()) {
    if (auto stored = vault_.setAll(typed); !stored) {
      return std::unexpected(SaveFailure{
          SaveStep::kVault, "Couldn't write to the credential vault: " + stored.error().message() +
                                " The account was not saved and nothing else was changed."});
    }
  }

  if (auto configured = writeRcloneConfig(account); !configured) return configured;

  auto saved = details_.recordSaved(account.remoteName, account.displayName, account.defaultBucket);
  if (!saved) {
    return std::unexpected(
        SaveFailure{SaveStep::kDetails,
                    "The account is saved and works, but its display name and bucket "
                    "weren't recorded: " +
                        saved.error().message() + " Save the account again to retry."});
  }
  bool bucketChanged =
      !saved->created && account.defaultBucket && saved->previousBucket != account.defaultBucket;
  if (bucketChanged && onBucketChanged_) {
    onBucketChanged_(BucketChange{account.remoteName, *account.defaultBucket});
  }
  return {};
}

std::expected<void, SaveFailure> CredentialSaver::writeRcloneConfig(const AccountSave& account) {
  if (account.mode == SaveMode::kCreate) {
    if (auto created = rclone_.createRemote(account.remoteName, account.type, account.keys);
        !created) {
      return std::unexpected(SaveFailure{
          SaveStep::kRcloneConfig, created.error().detail +
                                       "\n\nThe account was not added; your other accounts are "
                                       "unchanged. Check the values and save again."});
    }
    return {};
  }

  auto dump = rclone_.dump();
  if (!dump) {
    return std::unexpected(SaveFailure{
        SaveStep::kRcloneConfig,
        "Couldn't update " + account.remoteName + ": rclone's current settings couldn't be read (" +
            dump.error().detail + "). Nothing was changed in them; try again."});
  }
  std::map<std::string, std::string> current;
  if (auto it = dump->find(account.remoteName); it != dump->end()) current = it->second;
  for (const RemoteKey& key : changedKeys(account.keys, current)) {
    if (auto updated = rclone_.updateKey(account.remoteName, key); !updated) {
      return std::unexpected(SaveFailure{
          SaveStep::kRcloneConfig,
          updated.error().detail + "\n\nSettings before \"" + key.key +
              "\" were saved; it and the ones after it were not. Your files are not affected; "
              "check the values and save again."});
    }
  }
  return {};
}

}  // namespace brimvale::cloud
