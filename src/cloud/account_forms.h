// The account forms for Amazon S3 and S3-compatible services, SFTP and FTP:
// their presets, the checks a form makes before it saves, and the rclone keys
// each writes, in the order rclone gets them.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/rclone_config_commands.h"

namespace brimvale::cloud {

// One row of the S3 provider picker.
struct S3Provider {
  std::string_view provider;  // rclone's "provider" value
  std::string_view displayName;
  std::string_view defaultRegion;        // empty: the preset leaves the region alone
  std::string_view endpointPlaceholder;  // empty: no endpoint field hint
  bool endpointRequired = false;
  // "Use path-style URLs": self-hosted and unknown services often serve
  // buckets only under the path, the big hosted ones under the host name.
  bool pathStyleByDefault = false;
};

// In picker order.
inline constexpr std::array<S3Provider, 7> kS3Providers{{
    {"AWS", "Amazon Web Services", "us-east-1", "", false, false},
    {"Cloudflare", "Cloudflare R2", "auto", "https://<account-id>.r2.cloudflarestorage.com", true,
     false},
    {"Other", "Backblaze B2", "", "https://s3.<region>.backblazeb2.com", true, true},
    {"Wasabi", "Wasabi", "us-east-1", "https://s3.<region>.wasabisys.com", true, false},
    {"DigitalOcean", "DigitalOcean Spaces", "nyc3", "https://<region>.digitaloceanspaces.com", true,
     false},
    {"Minio", "MinIO (self-hosted)", "us-east-1", "http://192.168.1.20:9000", true, true},
    {"Other", "Other (custom endpoint)", "", "https://s3.example.com", true, true},
}};

inline constexpr std::string_view kSecretPlaceholder = "at least 12 characters";
inline constexpr std::string_view kExistingSecretHint =
    "Existing secret loaded from rclone.conf. Type to change it, or leave as-is to keep.";
inline constexpr std::string_view kBucketPlaceholder = "required \u2014 your S3 bucket name";
inline constexpr std::string_view kBucketHelp =
    "Required. S3 has no concept of a default bucket \u2014 every rclone path is `bucket/key`. "
    "Brimvale prepends this value when sending files; without it, transfers fail with "
    "NoSuchBucket on every attempt.";

struct S3Form {
  std::size_t preset = 0;  // index into kS3Providers
  std::string accessKeyId;
  std::string secretAccessKey;
  // The secret field still shows the value read from rclone's settings:
  // it is neither scored nor written again.
  bool secretLoaded = false;
  std::string region;
  std::string endpoint;
  bool forcePathStyle = false;
  std::string bucket;
};

// A new form on `preset`: its default region and path style filled in.
[[nodiscard]] S3Form newS3Form(std::size_t preset);
// Switches the form to `preset`; the region becomes the preset's default
// when it has one and stays as typed otherwise.
void choosePreset(S3Form& form, std::size_t preset);

// The parent region of an availability-zone prefix ("use1" -> "us-east-1").
[[nodiscard]] std::optional<std::string_view> regionForZonePrefix(std::string_view prefix);
// Why `region` is refused (an availability-zone identifier), or nothing.
[[nodiscard]] std::optional<std::string> zoneRegionRefusal(std::string_view region);
// Why `bucket` is refused (an S3 Express One Zone bucket), or nothing.
[[nodiscard]] std::optional<std::string> expressBucketRefusal(std::string_view bucket);

// The first reason the form may not be saved, or nothing.
[[nodiscard]] std::optional<std::string> s3Refusal(const S3Form& form);
// "provider", "access_key_id", "secret_access_key" (left out while loaded),
// "region", "endpoint" (when required or typed), "force_path_style",
// "no_check_bucket".
[[nodiscard]] std::vector<RemoteKey> s3Keys(const S3Form& form);
// The secrets the form puts in the vault, by field name; empty values left out.
[[nodiscard]] std::map<std::string, std::string> s3VaultFields(const S3Form& form);

// What the Remotes window says about an existing S3 remote.
inline constexpr std::string_view kBucketNotSet = "Bucket not set \u2014 transfers will fail";
inline constexpr std::string_view kRegionLooksInvalid = "This remote's region looks invalid";
inline constexpr std::string_view kExpressUnsupported =
    "S3 Express One Zone \u2014 upload not supported";

struct RemoteWarning {
  std::string_view title;  // one of the texts above
  std::string detail;      // a sentence saying why and what to do
};

struct S3Inspection {
  std::vector<RemoteWarning> warnings;
  // The region a zone identifier in the region field stands for, when known:
  // the fix the window offers.
  std::optional<std::string> parentRegion;
};

// Inspects an S3 remote as rclone has it (`region`, `endpoint`) with the
// bucket Brimvale keeps for it (empty: none).
[[nodiscard]] S3Inspection inspectS3Remote(std::string_view region, std::string_view endpoint,
                                           std::string_view bucket);

enum class SftpAuthMethod { kPassword, kPrivateKey };

inline constexpr std::string_view kKeyPickerPrompt =
    "Pick the OpenSSH or PEM private key that authenticates this SFTP account.";

struct SftpForm {
  std::string host;
  std::string port = "22";
  std::string user;
  SftpAuthMethod auth = SftpAuthMethod::kPassword;
  std::string password;
  std::string keyFile;  // stays where it is; rclone reads it on each connection
  std::string keyPassphrase;
};

// Why the Server field is refused (it holds "user@"), or nothing.
[[nodiscard]] std::optional<std::string> sftpServerRefusal(std::string_view server);
[[nodiscard]] std::optional<std::string> sftpRefusal(const SftpForm& form);
[[nodiscard]] std::vector<RemoteKey> sftpKeys(const SftpForm& form);
// "username" and "password" (or "key_file_pass" with key sign-in).
[[nodiscard]] std::map<std::string, std::string> sftpVaultFields(const SftpForm& form);

inline constexpr std::string_view kFtpWarningTitle = "FTP is not encrypted";
inline constexpr std::string_view kFtpWarning =
    "Your username, password, and the files you transfer all travel in cleartext. Anyone on the "
    "same network path \u2014 coffee-shop Wi-Fi, an ISP, a corporate proxy \u2014 can read them. "
    "We strongly recommend SFTP instead. Pick FTP only if your server doesn't offer SFTP and you "
    "trust the network.";
inline constexpr std::string_view kFtpAcknowledgement =
    "I understand the risks and want to add this FTP account anyway.";

struct FtpForm {
  std::string host;
  std::string port = "21";
  std::string user;
  std::string password;
  bool risksAcknowledged = false;
};

[[nodiscard]] std::optional<std::string> ftpRefusal(const FtpForm& form);
[[nodiscard]] std::vector<RemoteKey> ftpKeys(const FtpForm& form);
[[nodiscard]] std::map<std::string, std::string> ftpVaultFields(const FtpForm& form);

// Editing: the keys of `wanted` that rclone must be told, one update each.
// A plain key is sent when its value differs from `current` (rclone's dump of
// the remote); a secret is sent whenever the form carries one, since rclone
// only shows secrets obscured.
[[nodiscard]] std::vector<RemoteKey> changedKeys(const std::vector<RemoteKey>& wanted,
                                                 const std::map<std::string, std::string>& current);

}  // namespace brimvale::cloud
