#include "cloud/auto_sync_store.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <system_error>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using nlohmann::json;

AutoSyncStore::AutoSyncStore(const fs::path& stateDir, AutoSyncLog log)
    : dir_(stateDir / "auto-sync"), log_(std::move(log)) {}

fs::path AutoSyncStore::fileFor(const std::string& id) const { return dir_ / (id + ".json"); }

std::vector<AutoSyncPolicy> AutoSyncStore::all() const {
  std::vector<AutoSyncPolicy> policies;
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path file = it->path();
    if (file.extension() != ".json") continue;
    const auto text = readFile(file);
    std::optional<AutoSyncPolicy> policy;
    if (text) policy = policyFromJson(json::parse(*text, nullptr, false));
    if (!policy || fileFor(policy->id) != file) {
      if (log_) log_("AutoSyncStore: skipping unreadable policy " + file.filename().string());
      continue;
    }
    policies.push_back(std::move(*policy));
  }
  std::sort(policies.begin(), policies.end(), [](const auto& a, const auto& b) {
    return a.createdAt != b.createdAt ? a.createdAt < b.createdAt : a.id < b.id;
  });
  return policies;
}

Result<void> AutoSyncStore::save(const AutoSyncPolicy& policy) const {
  Result<void> result;
  if (!isPolicyId(policy.id)) {
    result = fail(Errc::kInvalidArgument, "policy id " + policy.id);
  } else {
    std::error_code ec;
    fs::create_directories(dir_, ec);
    if (ec) {
      result = std::unexpected(errnoError("create " + dir_.string(), ec.value()));
    } else {
      result = writeFileAtomically(fileFor(policy.id), policyToJson(policy).dump(2) + "\n");
    }
  }
  if (!result && log_) log_("AutoSyncStore: write " + result.error().message());
  return result;
}

Result<void> AutoSyncStore::remove(const std::string& id) const {
  if (!isPolicyId(id)) return fail(Errc::kInvalidArgument, "policy id " + id);
  std::error_code ec;
  fs::remove(fileFor(id), ec);
  if (ec) return std::unexpected(errnoError("remove " + fileFor(id).string(), ec.value()));
  return {};
}

AutoSyncFailures::AutoSyncFailures(const fs::path& stateDir)
    : file_(stateDir / "autosync-failures.json") {}

std::map<std::string, FailureRecord> AutoSyncFailures::read() const {
  std::map<std::string, FailureRecord> records;
  const auto text = readFile(file_);
  if (!text) return records;
  const json all = json::parse(*text, nullptr, false);
  if (!all.is_object()) return records;
  for (const auto& [path, value] : all.items()) {
    if (!value.is_object()) continue;
    const auto count = value.find("count");
    const auto last = value.find("lastFailAt");
    if (count == value.end() || !count->is_number_integer() || last == value.end() ||
        !last->is_string()) {
      continue;
    }
    const auto when = parseIsots(last->get<std::string>());
    if (!when) continue;
    records[path] = {count->get<std::int64_t>(), *when};
  }
  return records;
}

Result<void> AutoSyncFailures::write(const std::map<std::string, FailureRecord>& records) const {
  json all = json::object();
  for (const auto& [path, record] : records) {
    all[path] = {{"count", record.count}, {"lastFailAt", isots(record.lastFailAt)}};
  }
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  return writeFileAtomically(file_, all.dump(2) + "\n");
}

Result<void> AutoSyncFailures::recordFailure(const std::string& path, std::time_t now) const {
  auto records = read();
  auto& record = records[path];
  ++record.count;
  record.lastFailAt = now;
  return write(records);
}

Result<void> AutoSyncFailures::clear(const std::string& path) const {
  auto records = read();
  if (records.erase(path) == 0) return {};
  return write(records);
}

bool AutoSyncFailures::isBackedOff(const FailureRecord& record, std::time_t now) {
  return record.count >= kBackOffCount && now - record.lastFailAt < kBackOffSeconds;
}

}  // namespace brimvale::cloud
