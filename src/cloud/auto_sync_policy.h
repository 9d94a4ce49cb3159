// One watched folder whose new files go to the fast drive by themselves: the
// record kept per policy, and which folders may be watched and where to.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>
#include "common/base/uuid.h"

namespace brimvale::cloud {

struct AutoSyncPolicy {
  std::string id;  // canonical upper-case UUID; also the file name
  int version = 1;
  std::string internalPath;    // the watched folder on the internal disk
  std::string nvmeDestParent;  // the folder on the drive that receives the files
  std::time_t createdAt = 0;
  bool enabled = true;
  std::vector<std::string> excludePatterns;  // shell-style name patterns
  std::optional<std::time_t> lastScanAt;
  std::optional<std::time_t> lastMoveAt;
  std::int64_t totalFilesMoved = 0;
  std::int64_t totalBytesMoved = 0;

  bool operator==(const AutoSyncPolicy&) const = default;
};

[[nodiscard]] nlohmann::json policyToJson(const AutoSyncPolicy& policy);
// Nothing when a required key is missing, a value has the wrong type or the
// id could not be a file name of the store.
[[nodiscard]] std::optional<AutoSyncPolicy> policyFromJson(const nlohmann::json& json);

// An id of hexadecimal digits and hyphens only, so it is safe as a file name.
[[nodiscard]] bool isPolicyId(const std::string& id);

// Where registration looks: the home folder, and the folder every
// destination must lie in (the drive's working folder here, /Volumes on a Mac).
struct AutoSyncRoots {
  std::filesystem::path home;
  std::filesystem::path destinationRoot;
};
// The destination root of this platform for a drive's working folder.
[[nodiscard]] std::filesystem::path destinationRootFor(const std::filesystem::path& workingFolder);

// Why a policy may not be registered: the log line and a sentence for the user.
struct PolicyRefusal {
  std::string logLine;
  std::string sentence;
};
// The watched folder must not be a system folder, the home folder or one of
// its standard top-level folders (folders inside those are fine), nor lie
// inside the destination root; the
// destination must lie inside the destination root.
[[nodiscard]] std::optional<PolicyRefusal> registrationRefusal(const std::string& internalPath,
                                                               const std::string& nvmeDestParent,
                                                               const AutoSyncRoots& roots);

}  // namespace brimvale::cloud
