// The companion program `rclone-helper`: lists remotes and remote types and
// tests or removes one remote, printing JSON the application decodes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/rclone_client.h"
#include "cloud/rclone_locator.h"
#include "cloud/remote.h"

namespace brimvale::cloud {

// The remotes of `rclone listremotes --long` ("name:   type" per line).
[[nodiscard]] std::vector<Remote> parseRemoteListing(std::string_view listing);

// The types of `rclone config providers` (a JSON array), hidden ones left
// out; nothing when the text is not such an array.
[[nodiscard]] std::optional<std::vector<RemoteType>> parseRemoteTypes(std::string_view providers);

struct HelperOutput {
  int status = 0;
  std::string out;  // JSON, one document
  std::string err;
};

// Runs one helper command (`args` without the program name) against rclone.
[[nodiscard]] HelperOutput runHelperCommand(const std::vector<std::string>& args,
                                            const std::optional<std::string>& rclone,
                                            const ProcessRunner& runner);

}  // namespace brimvale::cloud
