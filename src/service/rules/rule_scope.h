// What the rules may touch, decided by the path policy once per run: the
// source folders of rules and their items, the archive destinations inside
// the working folder, and the application folders whose caches are emptied.
#pragma once

#include <optional>
#include <string>

#include "common/state/exclude_list.h"
#include "common/state/path_policy.h"
#include "service/core/service_context.h"

namespace brimvale::service {

class RuleScope {
 public:
  // Requires loaded configuration (the working folder, APP_CACHE_PATHS).
  explicit RuleScope(const ServiceContext& ctx);

  // Why a rule may not work in `src`: the policy refuses it (the root, the
  // home folder itself, a system or protected folder, outside the home
  // folder and the working folder, behind a link that leads elsewhere), it
  // is itself a symbolic link, or it lies in the quarantine. Nothing when
  // the rule may run there.
  [[nodiscard]] std::optional<std::string> sourceRefusal(const std::string& src) const;

  // Why an archive rule may not file items under `dest`: the folder
  // {working folder}/{dest} must lie strictly inside the working folder with
  // no link on the way (and not be a link itself).
  [[nodiscard]] std::optional<std::string> destinationRefusal(const std::string& dest) const;

  // Why the cache subfolders of `appPath` may not be emptied. Application
  // data folders that moves leave alone (running programs hold them open)
  // are fine to clean; the home folder itself, folders outside it, folders
  // behind links, credential stores and Brimvale's own state are not.
  [[nodiscard]] std::optional<std::string> appFolderRefusal(const std::string& appPath) const;

  // Rule sources and the items in them.
  [[nodiscard]] const PathPolicy& policy() const { return policy_; }
  // The cache folders and their items: the same roots plus the configured
  // application folders.
  [[nodiscard]] const PathPolicy& cachePolicy() const { return cachePolicy_; }

  // Whether the user's excludes keep `item` (found below the rule's folder
  // `within`): it is excluded or holds an excluded folder. Each kept item is
  // added to keptByExcludes() with its size.
  [[nodiscard]] bool keepsByExcludes(const std::filesystem::path& item,
                                     const std::filesystem::path& within) const;
  [[nodiscard]] bool hasExcludes() const { return !excludes_.empty(); }
  [[nodiscard]] const KeptByExcludes& keptByExcludes() const { return kept_; }

 private:
  std::filesystem::path base_;
  PathPolicy policy_;
  PathPolicy cachePolicy_;
  ExcludeList excludes_;
  // A tally for the run's report, not part of what the scope decides.
  mutable KeptByExcludes kept_;
};

}  // namespace brimvale::service
