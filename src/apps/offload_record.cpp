#include "apps/offload_record.h"

#include <algorithm>
#include <system_error>

#include <nlohmann/json.hpp>

#include "apps/app_move_manifest.h"
#include "common/base/file_io.h"
#include "common/base/timestamps.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using Ordered = nlohmann::ordered_json;

// Reads the keys of one JSON object, remembering the first key that was
// missing or of the wrong kind.
class OffloadFields {
 public:
  explicit OffloadFields(const nlohmann::json& object) : object_(object) {}

  void text(const char* key, std::string& out) {
    if (const auto* v = find(key); v && check(v->is_string(), key)) out = v->get<std::string>();
  }
  void optionalText(const char* key, std::optional<std::string>& out) {
    if (!object_.contains(key) || object_[key].is_null()) return;
    if (check(object_[key].is_string(), key)) out = object_[key].get<std::string>();
  }
  template <class Int>
  void integer(const char* key, Int& out) {
    if (const auto* v = find(key); v && check(v->is_number_integer(), key)) out = v->get<Int>();
  }
  void boolean(const char* key, bool& out) {
    if (const auto* v = find(key); v && check(v->is_boolean(), key)) out = v->get<bool>();
  }
  void date(const char* key, std::time_t& out) {
    std::string textValue;
    text(key, textValue);
    if (bad_) return;
    const auto parsed = parseIsots(textValue);
    if (check(parsed.has_value(), key)) out = *parsed;
  }
  const nlohmann::json* find(const char* key) {
    if (!object_.contains(key)) {
      check(false, key);
      return nullptr;
    }
    return &object_[key];
  }
  bool check(bool ok, const char* key) {
    if (!ok && !bad_) bad_ = key;
    return ok;
  }
  [[nodiscard]] const char* bad() const { return bad_; }

 private:
  const nlohmann::json& object_;
  const char* bad_ = nullptr;
};

}  // namespace

std::string encodeOffloadRecord(const OffloadRecord& record) {
  Ordered items = Ordered::array();
  for (const auto& item : record.items) {
    items.push_back(Ordered{{"originalPath", item.originalPath},
                            {"archivedPath", item.archivedPath},
                            {"isBundle", item.isBundle},
                            {"sizeBytes", item.sizeBytes}});
  }
  Ordered j = Ordered::object();
  j["id"] = record.id;
  if (record.bundleID) j["bundleID"] = *record.bundleID;
  j["displayName"] = record.displayName;
  j["originalBundlePath"] = record.originalBundlePath;
  j["archiveDir"] = record.archiveDir;
  j["items"] = std::move(items);
  j["offloadedAt"] = isots(record.offloadedAt);
  j["version"] = record.version;
  j["phase"] = std::string(rawNameOf(kOffloadPhaseNames, record.phase));
  return j.dump(2) + "\n";
}

Result<OffloadRecord> decodeOffloadRecord(std::string_view text) {
  const auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    return fail(Errc::kParse, "an offload record is not a JSON object");
  }
  OffloadRecord r;
  OffloadFields f(j);
  f.text("id", r.id);
  f.optionalText("bundleID", r.bundleID);
  f.text("displayName", r.displayName);
  f.text("originalBundlePath", r.originalBundlePath);
  f.text("archiveDir", r.archiveDir);
  f.date("offloadedAt", r.offloadedAt);
  f.integer("version", r.version);
  std::string phase;
  f.text("phase", phase);
  if (!f.bad()) {
    const auto value = valueOfRaw(kOffloadPhaseNames, phase);
    if (f.check(value.has_value(), "phase")) r.phase = *value;
  }
  // The id names the record's file: only a UUID may do that.
  if (!f.bad()) f.check(canonicalUuid(r.id) == r.id, "id");
  if (const auto* items = f.find("items"); items && f.check(items->is_array(), "items")) {
    for (const auto& item : *items) {
      if (!f.check(item.is_object(), "items")) break;
      OffloadRecord::Archived a;
      OffloadFields g(item);
      g.text("originalPath", a.originalPath);
      g.text("archivedPath", a.archivedPath);
      g.boolean("isBundle", a.isBundle);
      g.integer("sizeBytes", a.sizeBytes);
      if (!f.check(g.bad() == nullptr, "items")) break;
      r.items.push_back(std::move(a));
    }
  }
  if (f.bad()) {
    return fail(Errc::kParse, std::string("an offload record's \"") + f.bad() +
                                  "\" is missing or of the wrong kind");
  }
  return r;
}

fs::path offloadsFolder(const StatePaths& paths) { return paths.state / "offloads"; }

OffloadRecordStore::OffloadRecordStore(fs::path folder, std::function<void(const std::string&)> log)
    : folder_(std::move(folder)), log_(std::move(log)) {}

fs::path OffloadRecordStore::fileFor(const std::string& id) const {
  return folder_ / (id + ".json");
}

Result<void> OffloadRecordStore::save(const OffloadRecord& record) const {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec) return std::unexpected(errnoError("create " + folder_.string(), ec.value()));
  return writeFileAtomically(fileFor(record.id), encodeOffloadRecord(record));
}

std::vector<OffloadRecord> OffloadRecordStore::loadAll() const {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".json") files.push_back(it->path());
  }
  std::ranges::sort(files);
  std::vector<OffloadRecord> records;
  for (const auto& file : files) {
    auto text = readFile(file);
    auto record = text ? decodeOffloadRecord(*text) : std::unexpected(text.error());
    if (!record) {
      if (log_)
        log_("AppOffloader: skipped unreadable record " + file.string() + ": " +
             record.error().message());
      continue;
    }
    records.push_back(std::move(*record));
  }
  return records;
}

Result<void> OffloadRecordStore::remove(const std::string& id) const {
  std::error_code ec;
  fs::remove(fileFor(id), ec);
  if (ec) return std::unexpected(errnoError("remove " + fileFor(id).string(), ec.value()));
  return {};
}

Result<void> writeArchiveRecord(const OffloadRecord& record) {
  return writeFileAtomically(fs::path(record.archiveDir) / kArchiveRecordName,
                             encodeOffloadRecord(record));
}

}  // namespace brimvale::apps
