// Where auto-sync keeps its state: one JSON file per policy under
// state/auto-sync/, and the per-path failure records with their back-off.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cloud/auto_sync_policy.h"
#include "common/base/error.h"

namespace brimvale::cloud {

// Receives one log line at a time.
using AutoSyncLog = std::function<void(const std::string&)>;

class AutoSyncStore {
 public:
  // `stateDir` is ~/.brimvale/state.
  AutoSyncStore(const std::filesystem::path& stateDir, AutoSyncLog log);

  // Every readable policy, ordered by creation then id; an unreadable file
  // is logged and left on disk.
  [[nodiscard]] std::vector<AutoSyncPolicy> all() const;
  // Writes the policy's file atomically; a failure is logged and returned.
  [[nodiscard]] Result<void> save(const AutoSyncPolicy& policy) const;
  // Removing a policy that has no file is not an error.
  [[nodiscard]] Result<void> remove(const std::string& id) const;
  [[nodiscard]] std::filesystem::path fileFor(const std::string& id) const;

 private:
  std::filesystem::path dir_;
  AutoSyncLog log_;
};

struct FailureRecord {
  std::int64_t count = 0;  // consecutive failures
  std::time_t lastFailAt = 0;
  bool operator==(const FailureRecord&) const = default;
};

// The failure records, keyed by path, in state/autosync-failures.json.
class AutoSyncFailures {
 public:
  static constexpr std::int64_t kBackOffCount = 3;
  static constexpr std::time_t kBackOffSeconds = 6 * 3600;

  explicit AutoSyncFailures(const std::filesystem::path& stateDir);

  // A missing or damaged file reads as no records.
  [[nodiscard]] std::map<std::string, FailureRecord> read() const;
  // One more consecutive failure of `path` at `now`.
  [[nodiscard]] Result<void> recordFailure(const std::string& path, std::time_t now) const;
  // A success ends the run of failures.
  [[nodiscard]] Result<void> clear(const std::string& path) const;

  // Left out of runs: three or more failures in a row, the last one less
  // than six hours ago. Once the window passes the path is tried again, and
  // one more failure starts a new window.
  [[nodiscard]] static bool isBackedOff(const FailureRecord& record, std::time_t now);

 private:
  [[nodiscard]] Result<void> write(const std::map<std::string, FailureRecord>& records) const;
  std::filesystem::path file_;
};

}  // namespace brimvale::cloud
