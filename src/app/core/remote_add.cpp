#include "app/core/remote_add.h"

#include <algorithm>
#include <array>
#include <utility>

#include <CLI/CLI.hpp>

#include "cloud/account_forms.h"
#include "cloud/rclone_client.h"
#include "cloud/remote_types.h"
#include "common/base/text_formats.h"

namespace brimvale::app {

namespace {

using cloud::AccountSave;

// Which options each type takes; "display-name" goes with every one.
struct TypeOptions {
  std::string_view type;
  std::vector<std::string> options;
};

const std::vector<TypeOptions>& typeOptions() {
  static const std::vector<TypeOptions> table{
      {"local", {}},
      {"sftp", {"host", "port", "user", "key-file"}},
      {"ftp", {"host", "port", "user", "accept-risks"}},
      {"s3", {"provider", "access-key-id", "region", "endpoint", "path-style", "bucket"}},
  };
  return table;
}

// The words `--provider` takes, in the picker's order.
constexpr std::array<std::string_view, 7> kProviderWords{
    "aws", "cloudflare", "b2", "wasabi", "digitalocean", "minio", "other"};

std::string_view unchanged(const RemoteAddRequest& r) {
  return r.editing ? " Nothing was changed." : " Nothing was added.";
}

Result<void> refuse(const RemoteAddRequest& r, std::string sentence) {
  return fail(Errc::kInvalidArgument, std::move(sentence) + std::string(unchanged(r)));
}

// What stands in for a secret an edit keeps while the form is checked; it is
// never written or stored.
constexpr std::string_view kKeptSecret = "kept-secret";

std::string optionOr(const RemoteAddRequest& r, const std::string& key, std::string fallback) {
  auto it = r.options.find(key);
  return it == r.options.end() ? fallback : it->second;
}

const TypeOptions* optionsOf(std::string_view type) {
  for (const auto& t : typeOptions()) {
    if (t.type == type) return &t;
  }
  return nullptr;
}

Result<void> checkRequest(const RemoteAddRequest& r) {
  for (const auto& secret : refusedSecretOptionNames()) {
    if (r.options.contains(secret)) {
      return refuse(r,
                    "Secrets are never taken from the command line, where every user of this "
                    "computer can read them: leave out --" +
                        secret + " and type it when asked, or pipe it on standard input.");
    }
  }
  const TypeOptions* type = optionsOf(r.type);
  if (!type) {
    const bool browser = cloud::isBrowserSignInType(r.type);
    return refuse(r, browser ? r.type +
                                   " accounts sign in through the browser: use `brimvale remotes "
                                   "sign-in " +
                                   r.type + " " + r.name + "`."
                             : "Brimvale adds remotes of type sftp, ftp, s3 or local, not \"" +
                                   r.type + "\"; other kinds can be set up with `rclone config`.");
  }
  if (!cloud::isUsableRemoteName(r.name)) {
    return refuse(r,
                  "\"" + r.name +
                      "\" can't be a remote name: use letters, digits, '-' or '_', without ':' or "
                      "'/', not starting with '-'.");
  }
  for (const auto& [key, value] : r.options) {
    if (key == "display-name") continue;
    if (std::find(type->options.begin(), type->options.end(), key) == type->options.end()) {
      return refuse(r, "A " + r.type + " remote does not take --" + key + ".");
    }
  }
  if (r.type == "s3") {
    const std::string word = optionOr(r, "provider", "aws");
    if (std::find(kProviderWords.begin(), kProviderWords.end(), word) == kProviderWords.end()) {
      return refuse(r,
                    "--provider must be aws, cloudflare, b2, wasabi, digitalocean, minio or other, "
                    "not \"" +
                        word + "\".");
    }
    const std::string style = optionOr(r, "path-style", "true");
    if (style != "true" && style != "false") {
      return refuse(r, "--path-style must be true or false, not \"" + style + "\".");
    }
  }
  return {};
}

Result<AccountSave> refused(const RemoteAddRequest& r, const std::optional<std::string>& reason) {
  return fail(Errc::kInvalidArgument, *reason + std::string(unchanged(r)));
}

}  // namespace

const std::vector<std::string>& remoteAddOptionNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all{"display-name"};
    for (const auto& t : typeOptions()) {
      for (const auto& o : t.options) {
        if (std::find(all.begin(), all.end(), o) == all.end()) all.push_back(o);
      }
    }
    return all;
  }();
  return names;
}

const std::vector<std::string>& refusedSecretOptionNames() {
  static const std::vector<std::string> names{
      "pass", "password", "secret", "secret-access-key", "key-file-pass", "passphrase"};
  return names;
}

void declareRemoteAddOptions(CLI::App& command, std::map<std::string, std::string>& options) {
  for (const auto& name : remoteAddOptionNames()) {
    if (name == "accept-risks") {
      command.add_flag_callback(
          "--accept-risks", [&options] { options["accept-risks"] = "true"; },
          "add ftp: " + std::string(cloud::kFtpAcknowledgement));
      continue;
    }
    command.add_option_function<std::string>(
        "--" + name, [&options, name](const std::string& value) { options[name] = value; },
        "add: the account's " + name);
  }
  for (const auto& name : refusedSecretOptionNames()) {
    command
        .add_option_function<std::string>(
            "--" + name, [&options, name](const std::string& value) { options[name] = value; })
        ->group("");  // refused with a sentence, so not advertised
  }
}

namespace {

std::optional<SecretQuestion> secretAsked(const RemoteAddRequest& r) {
  if (r.type == "local") return std::nullopt;
  if (r.type == "s3") return SecretQuestion{"Secret access key for " + r.name + ": ", false};
  if (r.type == "sftp" && r.options.contains("key-file")) {
    return SecretQuestion{"Passphrase of the private key (empty when it has none): ", true};
  }
  return SecretQuestion{"Password for " + optionOr(r, "user", "the user") + " on " +
                            optionOr(r, "host", r.name) + ": ",
                        false};
}

}  // namespace

Result<std::optional<SecretQuestion>> secretQuestionFor(const RemoteAddRequest& r) {
  if (auto ok = checkRequest(r); !ok) return std::unexpected(ok.error());
  auto question = secretAsked(r);
  if (question && r.editing) {
    question->prompt.insert(question->prompt.rfind(':'), " (empty keeps the current one)");
    question->optional = true;
  }
  return question;
}

Result<AccountSave> accountFor(const RemoteAddRequest& r, const std::string& secret) {
  if (auto ok = checkRequest(r); !ok) return std::unexpected(ok.error());
  const bool keep = r.editing && secret.empty();
  const std::string typed = keep ? std::string(kKeptSecret) : secret;
  AccountSave account{.mode = r.editing ? cloud::SaveMode::kEdit : cloud::SaveMode::kCreate,
                      .remoteName = r.name,
                      .type = r.type,
                      .displayName = optionOr(r, "display-name", r.name)};
  if (r.type == "sftp") {
    cloud::SftpForm form{.host = optionOr(r, "host", ""),
                         .port = optionOr(r, "port", "22"),
                         .user = optionOr(r, "user", "")};
    if (r.options.contains("key-file")) {
      form.auth = cloud::SftpAuthMethod::kPrivateKey;
      form.keyFile = r.options.at("key-file");
      form.keyPassphrase = typed;
    } else {
      form.password = typed;
    }
    if (auto why = cloud::sftpRefusal(form)) return refused(r, why);
    account.keys = cloud::sftpKeys(form);
    account.secrets = cloud::sftpVaultFields(form);
  } else if (r.type == "ftp") {
    cloud::FtpForm form{.host = optionOr(r, "host", ""),
                        .port = optionOr(r, "port", "21"),
                        .user = optionOr(r, "user", ""),
                        .password = typed,
                        // Acknowledged when the account was added.
                        .risksAcknowledged = r.editing || r.options.contains("accept-risks")};
    if (auto why = cloud::ftpRefusal(form)) {
      // The form's tick box is the --accept-risks option here.
      if (!form.risksAcknowledged && !form.password.empty() && !form.user.empty()) {
        return fail(Errc::kInvalidArgument,
                    std::string(cloud::kFtpWarningTitle) + ". " + std::string(cloud::kFtpWarning) +
                        " Add --accept-risks to confirm \"" +
                        std::string(cloud::kFtpAcknowledgement) + "\" Nothing was added.");
      }
      return refused(r, why);
    }
    account.keys = cloud::ftpKeys(form);
    account.secrets = cloud::ftpVaultFields(form);
  } else if (r.type == "s3") {
    const std::string word = optionOr(r, "provider", "aws");
    const auto preset = static_cast<std::size_t>(
        std::find(kProviderWords.begin(), kProviderWords.end(), word) - kProviderWords.begin());
    cloud::S3Form form = cloud::newS3Form(preset);
    form.accessKeyId = optionOr(r, "access-key-id", "");
    form.secretAccessKey = secret;
    form.secretLoaded = keep;
    form.region = optionOr(r, "region", form.region);
    form.endpoint = optionOr(r, "endpoint", "");
    if (r.options.contains("path-style"))
      form.forcePathStyle = r.options.at("path-style") == "true";
    form.bucket = optionOr(r, "bucket", "");
    if (auto why = cloud::s3Refusal(form)) return refused(r, why);
    account.keys = cloud::s3Keys(form);
    account.secrets = cloud::s3VaultFields(form);
    account.defaultBucket = form.bucket;
  }
  if (keep) {
    std::erase_if(account.keys, [](const cloud::RemoteKey& k) { return k.value == kKeptSecret; });
    std::erase_if(account.secrets, [](const auto& field) { return field.second == kKeptSecret; });
  }
  return account;
}

bool isEditableType(std::string_view type) {
  return type == "sftp" || type == "ftp" || type == "s3";
}

std::map<std::string, std::string> optionsFromSettings(
    std::string_view type, const std::map<std::string, std::string>& current,
    const cloud::RemoteMetadataRecord* details) {
  const auto value = [&](const std::string& key) {
    auto it = current.find(key);
    return it == current.end() ? std::string() : it->second;
  };
  std::map<std::string, std::string> options;
  const auto put = [&](const std::string& option, const std::string& key) {
    if (auto v = value(key); !v.empty()) options[option] = v;
  };
  if (type == "sftp" || type == "ftp") {
    put("host", "host");
    put("port", "port");
    put("user", "user");
    if (type == "sftp") put("key-file", "key_file");
  } else if (type == "s3") {
    // "Other" is both Backblaze B2 and a custom endpoint: B2's endpoint tells them apart.
    std::string word = asciiLower(value("provider"));
    if (word == "other" && value("endpoint").find("backblazeb2") != std::string::npos) word = "b2";
    if (std::find(kProviderWords.begin(), kProviderWords.end(), word) != kProviderWords.end())
      options["provider"] = word;
    put("access-key-id", "access_key_id");
    put("region", "region");
    put("endpoint", "endpoint");
    put("path-style", "force_path_style");
    if (details && details->defaultBucket && !details->defaultBucket->empty())
      options["bucket"] = *details->defaultBucket;
  }
  if (details && !details->displayName.empty()) options["display-name"] = details->displayName;
  return options;
}

}  // namespace brimvale::app
