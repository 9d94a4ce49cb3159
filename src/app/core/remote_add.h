// `brimvale remotes add TYPE NAME [--key value ...]`: turns the options into
// the account form of that type, checks it as the form does, and says which
// secret must still be typed (secrets never come from the command line).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/credential_saver.h"
#include "common/base/error.h"

namespace CLI {
class App;
}

namespace brimvale::app {

struct RemoteAddRequest {
  std::string type;  // "sftp", "ftp", "s3" or "local"
  std::string name;
  // Option name without the dashes ("host", "port", ...) -> value.
  std::map<std::string, std::string> options;
  // An edit of an existing remote: an empty secret keeps the one it has.
  bool editing = false;
};

inline constexpr std::string_view kNotEditable =
    "This remote type can't be edited from here. Use `rclone config` in Terminal, or Remove + Add "
    "Account if the credentials need to change.";
inline constexpr std::string_view kRenameRefused =
    "Renaming requires `rclone config rename` \u2014 not supported from this dialog yet.";

// Whether the account forms can edit remotes of `type` (sftp, ftp, s3).
[[nodiscard]] bool isEditableType(std::string_view type);

// The options an edit starts from: rclone's current keys of the remote
// (`current`, its entry of the configuration dump) as `remotes add` names
// them, and the display name and S3 bucket of Brimvale's details record
// (none: not known). Secrets are left out.
[[nodiscard]] std::map<std::string, std::string> optionsFromSettings(
    std::string_view type, const std::map<std::string, std::string>& current,
    const cloud::RemoteMetadataRecord* details);

// The option names `remotes add` takes, for every type together.
[[nodiscard]] const std::vector<std::string>& remoteAddOptionNames();
// Option names that would carry a secret; they are refused, never read.
[[nodiscard]] const std::vector<std::string>& refusedSecretOptionNames();

// Declares every option of remoteAddOptionNames() and of
// refusedSecretOptionNames() on `command`, each stored into `options` by its
// name (the refused ones so that they get a sentence, not a parse error).
void declareRemoteAddOptions(CLI::App& command, std::map<std::string, std::string>& options);

// The secret a request still needs: its prompt, and whether an empty answer
// is allowed (a private key without a passphrase).
struct SecretQuestion {
  std::string prompt;
  bool optional = false;
};

// Errors (Errc::kInvalidArgument) carry the sentence for the user: an
// unknown type, an option the type does not take, a secret on the command
// line, a name rclone cannot use.
[[nodiscard]] Result<std::optional<SecretQuestion>> secretQuestionFor(
    const RemoteAddRequest& request);

// The account to save with `secret` typed by the user (an edit with an empty
// one keeps the secret rclone has); errors carry the form's refusal.
[[nodiscard]] Result<cloud::AccountSave> accountFor(const RemoteAddRequest& request,
                                                    const std::string& secret);

}  // namespace brimvale::app
