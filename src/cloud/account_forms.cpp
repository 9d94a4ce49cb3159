#include "cloud/account_forms.h"

#include <algorithm>
#include <regex>
#include <utility>

#include "cloud/password_strength.h"
#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 14> kZoneRegions{{
    {"use1", "us-east-1"},
    {"use2", "us-east-2"},
    {"usw1", "us-west-1"},
    {"usw2", "us-west-2"},
    {"cac1", "ca-central-1"},
    {"sae1", "sa-east-1"},
    {"euw1", "eu-west-1"},
    {"euw2", "eu-west-2"},
    {"euw3", "eu-west-3"},
    {"euc1", "eu-central-1"},
    {"euc2", "eu-central-2"},
    {"eun1", "eu-north-1"},
    {"eus1", "eu-south-1"},
    {"eus2", "eu-south-2"},
}};

constexpr std::array<std::pair<SftpAuthMethod, std::string_view>, 2> kAuthMethodNames{{
    {SftpAuthMethod::kPassword, "password"},
    {SftpAuthMethod::kPrivateKey, "privateKey"},
}};

bool matches(std::string_view text, const std::regex& re) {
  return std::regex_search(text.begin(), text.end(), re);
}

const S3Provider& providerOf(const S3Form& form) {
  return kS3Providers[std::min(form.preset, kS3Providers.size() - 1)];
}

std::optional<std::string> portRefusal(std::string_view port) {
  std::string p = trimmed(port);
  bool digits = !p.empty() && p.size() <= 5 &&
                std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits && std::stoi(p) >= 1 && std::stoi(p) <= 65535) return std::nullopt;
  return "The port must be a number from 1 to 65535.";
}

std::optional<std::string> weakSecretRefusal(std::string_view fieldName, std::string_view secret) {
  int score = passwordStrength(secret);
  if (score >= kMinimumAcceptedStrength) return std::nullopt;
  return std::string(fieldName) + ": " + std::string(*strengthAdvice(score));
}

void putIfSet(std::map<std::string, std::string>& fields, std::string key, std::string value) {
  if (!value.empty()) fields.emplace(std::move(key), std::move(value));
}

}  // namespace

S3Form newS3Form(std::size_t preset) {
  S3Form form;
  choosePreset(form, preset);
  return form;
}

void choosePreset(S3Form& form, std::size_t preset) {
  form.preset = std::min(preset, kS3Providers.size() - 1);
  const S3Provider& p = kS3Providers[form.preset];
  if (!p.defaultRegion.empty()) form.region = std::string(p.defaultRegion);
  form.forcePathStyle = p.pathStyleByDefault;
}

std::optional<std::string_view> regionForZonePrefix(std::string_view prefix) {
  for (const auto& [zone, region] : kZoneRegions) {
    if (zone == prefix) return region;
  }
  return std::nullopt;
}

std::optional<std::string> zoneRegionRefusal(std::string_view region) {
  static const std::regex kZone("^[a-z][a-z0-9]+-az[0-9][a-z]?$");
  if (!matches(region, kZone)) return std::nullopt;
  std::string text = "\"" + std::string(region) + "\" is an Availability Zone ID, not a region.";
  auto parent = regionForZonePrefix(region.substr(0, region.find("-az")));
  if (parent) return text + " The parent region for that AZ is " + std::string(*parent) + ".";
  return text + " Find the parent region for this AZ in AWS docs.";
}

std::optional<std::string> expressBucketRefusal(std::string_view bucket) {
  static const std::regex kExpress("--[a-z][a-z0-9]+-az[0-9][a-z]?--x-s3$");
  if (!matches(bucket, kExpress)) return std::nullopt;
  return "\"" + std::string(bucket) +
         "\" is an S3 Express One Zone bucket. rclone v1.69 can't upload to Express. Use classic "
         "S3 instead.";
}

S3Inspection inspectS3Remote(std::string_view region, std::string_view endpoint,
                             std::string_view bucket) {
  S3Inspection found;
  if (trimmed(bucket).empty()) {
    found.warnings.push_back(
        {kBucketNotSet,
         "Open Edit and enter your bucket name; until then every transfer to or "
         "from this remote fails with NoSuchBucket. Your data is not affected."});
  }
  if (auto zone = zoneRegionRefusal(trimmed(region))) {
    found.warnings.push_back({kRegionLooksInvalid, *zone});
    const std::string value = trimmed(region);
    if (auto parent = regionForZonePrefix(std::string_view(value).substr(0, value.find("-az")))) {
      found.parentRegion = std::string(*parent);
    }
  }
  if (asciiLower(endpoint).find("s3express") != std::string::npos ||
      expressBucketRefusal(trimmed(bucket))) {
    found.warnings.push_back(
        {kExpressUnsupported,
         "rclone can't upload to S3 Express One Zone. Use a classic S3 bucket and endpoint; "
         "nothing was sent to this one."});
  }
  return found;
}

std::optional<std::string> s3Refusal(const S3Form& form) {
  const S3Provider& p = providerOf(form);
  if (trimmed(form.accessKeyId).empty()) return "Enter the access key ID.";
  if (!form.secretLoaded) {
    if (form.secretAccessKey.empty()) return "Enter the secret access key.";
    if (auto weak = weakSecretRefusal("Secret access key", form.secretAccessKey)) return weak;
  }
  if (auto zone = zoneRegionRefusal(trimmed(form.region))) return zone;
  if (p.endpointRequired && trimmed(form.endpoint).empty()) {
    return "Enter the endpoint address of your " + std::string(p.displayName) + " storage.";
  }
  std::string bucket = trimmed(form.bucket);
  if (bucket.empty()) {
    return "Enter your bucket name: S3 has no default bucket, so transfers fail without it.";
  }
  return expressBucketRefusal(bucket);
}

std::vector<RemoteKey> s3Keys(const S3Form& form) {
  const S3Provider& p = providerOf(form);
  std::vector<RemoteKey> keys{
      {"provider", std::string(p.provider)},
      {"access_key_id", trimmed(form.accessKeyId)},
  };
  if (!form.secretLoaded) keys.push_back({"secret_access_key", form.secretAccessKey, true});
  keys.push_back({"region", trimmed(form.region)});
  std::string endpoint = trimmed(form.endpoint);
  if (p.endpointRequired || !endpoint.empty()) keys.push_back({"endpoint", endpoint});
  keys.push_back({"force_path_style", form.forcePathStyle ? "true" : "false"});
  keys.push_back({"no_check_bucket", "true"});
  return keys;
}

std::map<std::string, std::string> s3VaultFields(const S3Form& form) {
  std::map<std::string, std::string> fields;
  if (!form.secretLoaded) putIfSet(fields, "secret_access_key", form.secretAccessKey);
  return fields;
}

std::optional<std::string> sftpServerRefusal(std::string_view server) {
  std::string value = trimmed(server);
  auto at = value.rfind('@');
  if (at == std::string::npos) return std::nullopt;
  return "Server should be the hostname only \u2014 `" + value + "`. The `" + value.substr(0, at) +
         "@` part belongs in Username.";
}

std::optional<std::string> sftpRefusal(const SftpForm& form) {
  if (trimmed(form.host).empty()) return "Enter the server's host name.";
  if (auto server = sftpServerRefusal(form.host)) return server;
  if (auto port = portRefusal(form.port)) return port;
  if (trimmed(form.user).empty()) return "Enter the user name.";
  if (form.auth == SftpAuthMethod::kPassword && form.password.empty()) return "Enter the password.";
  if (form.auth == SftpAuthMethod::kPrivateKey && trimmed(form.keyFile).empty()) {
    return "Choose the private key file.";
  }
  return std::nullopt;
}

std::vector<RemoteKey> sftpKeys(const SftpForm& form) {
  std::vector<RemoteKey> keys{
      {"host", trimmed(form.host)}, {"port", trimmed(form.port)}, {"user", trimmed(form.user)}};
  if (form.auth == SftpAuthMethod::kPassword) {
    keys.push_back({"pass", form.password, true});
  } else {
    keys.push_back({"key_file", trimmed(form.keyFile)});
    if (!form.keyPassphrase.empty()) keys.push_back({"key_file_pass", form.keyPassphrase, true});
  }
  return keys;
}

std::map<std::string, std::string> sftpVaultFields(const SftpForm& form) {
  std::map<std::string, std::string> fields;
  putIfSet(fields, "username", trimmed(form.user));
  if (form.auth == SftpAuthMethod::kPassword) {
    putIfSet(fields, "password", form.password);
  } else {
    putIfSet(fields, "key_file_pass", form.keyPassphrase);
  }
  return fields;
}

std::optional<std::string> ftpRefusal(const FtpForm& form) {
  if (trimmed(form.host).empty()) return "Enter the server's host name.";
  if (auto port = portRefusal(form.port)) return port;
  if (trimmed(form.user).empty()) return "Enter the user name.";
  if (form.password.empty()) return "Enter the password.";
  if (!form.risksAcknowledged) {
    return "To add this FTP account, tick \"" + std::string(kFtpAcknowledgement) + "\"";
  }
  return std::nullopt;
}

std::vector<RemoteKey> ftpKeys(const FtpForm& form) {
  return {{"host", trimmed(form.host)},
          {"port", trimmed(form.port)},
          {"user", trimmed(form.user)},
          {"pass", form.password, true}};
}

std::map<std::string, std::string> ftpVaultFields(const FtpForm& form) {
  std::map<std::string, std::string> fields;
  putIfSet(fields, "username", trimmed(form.user));
  putIfSet(fields, "password", form.password);
  return fields;
}

std::vector<RemoteKey> changedKeys(const std::vector<RemoteKey>& wanted,
                                   const std::map<std::string, std::string>& current) {
  std::vector<RemoteKey> changes;
  for (const RemoteKey& key : wanted) {
    auto it = current.find(key.key);
    if (key.secret || it == current.end() || it->second != key.value) changes.push_back(key);
  }
  return changes;
}

}  // namespace brimvale::cloud
