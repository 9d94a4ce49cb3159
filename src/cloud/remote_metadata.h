// What the application remembers about each remote beyond rclone's own
// settings (display name, default bucket, dismissed warnings, dates), kept
// in one encrypted file whose key comes from this computer's fingerprint and
// the user's e-mail address when there is one.
#pragma once

#include <ctime>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/machine_fingerprint.h"
#include "common/base/file_operations.h"
#include "common/base/timestamps.h"

namespace brimvale::cloud {

struct RemoteMetadataRecord {
  std::string remoteName;
  std::string displayName;
  std::vector<std::string> acknowledgedWarnings;
  std::optional<std::time_t> lastUsedAt;
  std::time_t createdAt = 0;
  std::optional<std::string> defaultBucket;  // S3 only

  bool operator==(const RemoteMetadataRecord&) const = default;
};

inline constexpr int kRemoteMetadataVersion = 1;
// The fixed label mixed into the metadata key; changing it orphans every file.
inline constexpr std::string_view kMetadataKeyLabel = "brimvale-meta-v1";

enum class MetadataErrc {
  kMalformed,      // the encrypted file's envelope is damaged or of another version
  kNoFingerprint,  // the computer's identity could not be read
  kDecryptFailed,  // sealed under another key (usually another e-mail address)
  kEncodeFailed,   // sealing failed
  kReadFailed,     // the system would not give the file's bytes
  kWriteFailed,    // the new file could not be put in place
};

struct MetadataError {
  MetadataErrc code = MetadataErrc::kMalformed;
  std::string detail;
  [[nodiscard]] std::string message() const;
};

struct MetadataFiles {
  std::filesystem::path encrypted;  // {state}/remote-metadata.enc
  std::filesystem::path plain;      // {state}/remote-metadata.json, from older versions
  [[nodiscard]] static MetadataFiles inStateFolder(const std::filesystem::path& stateDir);
};

// The key of the metadata file: SHA-256 over the label, the fingerprint and,
// when there is one, the e-mail address trimmed and lower-cased.
[[nodiscard]] std::string metadataKey(std::string_view fingerprint,
                                      const std::optional<std::string>& email);

// The text sealed in `file` (which exists) under the metadata key; the
// errors a sealed file of this computer can meet.
[[nodiscard]] std::expected<std::string, MetadataError> openSealedFile(
    const std::filesystem::path& file, const MachineFingerprint& fingerprint,
    const std::optional<std::string>& email);

class RemoteMetadataStore {
 public:
  // `email` is the user's address when the application knows one.
  RemoteMetadataStore(MetadataFiles files, MachineFingerprint fingerprint,
                      std::optional<std::string> email, WallClock clock = systemClock(),
                      FileOperations& ops = FileOperations::real());

  // The records from the encrypted file, else from the older plain file, else
  // none. A record that cannot be decoded is skipped here and kept in the file.
  [[nodiscard]] std::expected<std::vector<RemoteMetadataRecord>, MetadataError> load();

  // Creates the record of `remoteName` (createdAt now) or updates its display
  // name and default bucket, then saves. Returns the bucket the record held
  // before, so the caller can tell whether it changed.
  struct Saved {
    bool created = false;
    std::optional<std::string> previousBucket;
  };
  [[nodiscard]] std::expected<Saved, MetadataError> recordSaved(
      const std::string& remoteName, const std::string& displayName,
      const std::optional<std::string>& defaultBucket);

  // Deletes the record of `remoteName` (a removed remote), keeping every
  // other record, decodable or not. Returns whether there was one. A file
  // that cannot be read is an error and stays untouched: removing one
  // remote never costs the others their records.
  [[nodiscard]] std::expected<bool, MetadataError> forget(const std::string& remoteName);

  // Writes the encrypted file and then removes the older plain file. An
  // encrypted file that cannot be decrypted (sealed under another e-mail
  // address, or damaged) is kept aside first (see keepAside),
  // so it is never overwritten.
  [[nodiscard]] std::expected<void, MetadataError> save(
      const std::vector<RemoteMetadataRecord>& records);

 private:
  struct Contents;
  [[nodiscard]] std::expected<Contents, MetadataError> read();
  [[nodiscard]] std::expected<void, MetadataError> write(const Contents& contents);
  [[nodiscard]] std::expected<void, MetadataError> setAsideUnreadable();

  MetadataFiles files_;
  MachineFingerprint fingerprint_;
  std::optional<std::string> email_;
  WallClock clock_;
  FileOperations& ops_;
};

}  // namespace brimvale::cloud
