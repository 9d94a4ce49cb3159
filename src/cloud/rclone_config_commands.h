// The changes Brimvale makes to rclone's own remote definitions, as one
// interface: the account forms and the credential saver write through it,
// the rclone client carries it out, and tests record what would be written.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/base/error.h"

namespace brimvale::cloud {

// One key of a remote definition. Secret values (passwords, secret keys,
// passphrases) must never appear in any program's argument list, which every
// local user can read: the implementation hands them to rclone another way.
struct RemoteKey {
  std::string key;
  std::string value;
  bool secret = false;
};

class RcloneConfigCommands {
 public:
  virtual ~RcloneConfigCommands() = default;
  // A new remote `name` of `type` with `keys` in the order given. The error
  // detail starts "rclone config create failed.\n\n" followed by rclone's output.
  [[nodiscard]] virtual Result<void> createRemote(const std::string& name, const std::string& type,
                                                  const std::vector<RemoteKey>& keys) = 0;
  // One key of an existing remote. The error detail starts "Couldn't update ".
  [[nodiscard]] virtual Result<void> updateKey(const std::string& name, const RemoteKey& key) = 0;
  // Every remote's keys as rclone stores them (secret values obscured).
  [[nodiscard]] virtual Result<std::map<std::string, std::map<std::string, std::string>>>
  dump() = 0;
  // The plain value of an obscured one.
  [[nodiscard]] virtual Result<std::string> reveal(const std::string& obscured) = 0;
};

}  // namespace brimvale::cloud
