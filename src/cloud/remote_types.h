// What the application knows about each kind of remote by its rclone backend
// identifier: the name shown to people and how many accounts of it may exist.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::cloud {

// "drive" -> "Google Drive", "s3" -> "Amazon S3", ...; an identifier without
// a name of its own is shown capitalised ("webdav" -> "Webdav").
[[nodiscard]] std::string remoteTypeDisplayName(std::string_view type);

// Whether accounts of `type` sign in through the browser (OAuth) rather than
// through an account form: "drive", "googlephotos", "dropbox", "onedrive", "box".
[[nodiscard]] bool isBrowserSignInType(std::string_view type);

// How many remotes of `type` the add sheet allows; nothing when unlimited.
[[nodiscard]] std::optional<int> accountLimit(std::string_view type);

// "Account limit reached for {display name}. Remove one to add another."
[[nodiscard]] std::string accountLimitSentence(std::string_view type);

// The limit sentence when one more remote of `type` would pass its limit,
// given the types of the remotes that exist now; nothing when it may be added.
[[nodiscard]] std::optional<std::string> accountLimitRefusal(
    std::string_view type, const std::vector<std::string>& existingTypes);

}  // namespace brimvale::cloud
