#include "care/care_removals.h"

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::care {
namespace {

using nlohmann::json;

// Digits as written; anything else (or more digits than a size can have) 0.
std::int64_t bytesField(const std::string& field) {
  if (field.size() > 18) return 0;
  std::int64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::uintmax_t sizeOf(const std::filesystem::path& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  return ec ? 0 : size;
}

// The path and size of each action-log row with a path that `wanted` picks.
template <typename Wanted>
std::vector<RemovedItem> itemsOfRows(std::string_view actionLogText, Wanted wanted) {
  std::vector<RemovedItem> items;
  for (std::string_view line : splitLines(actionLogText)) {
    const auto fields = splitTsv(line);
    if (fields.size() < 5 || fields[2].empty() || !wanted(fields)) continue;
    items.push_back({unescapedLineField(fields[2]), bytesField(fields[4])});
  }
  return items;
}

}  // namespace

std::vector<RemovedItem> removalsIn(std::string_view actionLogText) {
  return itemsOfRows(actionLogText, [](const auto& fields) { return fields[3] == "-"; });
}

std::vector<RemovedItem> trashedIn(std::string_view actionLogText) {
  return itemsOfRows(actionLogText, [](const auto& fields) { return fields[1] == "trash"; });
}

RemovalWatch::RemovalWatch(std::filesystem::path actionLog)
    : actionLog_(std::move(actionLog)), startSize_(sizeOf(actionLog_)) {}

std::string RemovalWatch::addedText() const {
  std::ifstream in(actionLog_, std::ios::binary);
  if (!in) return {};
  if (sizeOf(actionLog_) >= startSize_) in.seekg(static_cast<std::streamoff>(startSize_));
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<RemovedItem> RemovalWatch::removedSince() const { return removalsIn(addedText()); }

std::vector<RemovedItem> RemovalWatch::trashedSince() const { return trashedIn(addedText()); }

Result<void> storeRemovals(const std::filesystem::path& file, const RemovalRecord& record) {
  json removed = json::array();
  for (const auto& item : record.removed) {
    removed.push_back({{"bytes", item.bytes}, {"path", item.path}});
  }
  const json doc = {{"at", isots(record.at)}, {"removed", removed}};
  return writeFileAtomically(file, doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
}

Result<std::optional<RemovalRecord>> loadRemovals(const std::filesystem::path& file) {
  if (!pathExists(file).value_or(false)) return std::optional<RemovalRecord>();
  auto text = readFile(file);
  if (!text) return std::unexpected(text.error());
  const json doc = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  const auto at = doc.is_object() && doc.contains("at") && doc["at"].is_string()
                      ? parseIsots(doc["at"].get<std::string>())
                      : std::nullopt;
  if (!at || !doc.contains("removed") || !doc["removed"].is_array()) {
    return fail(Errc::kParse, file.string() + " is not a clean-up record");
  }
  RemovalRecord record{.at = *at};
  for (const auto& entry : doc["removed"]) {
    if (!entry.is_object() || !entry.contains("path") || !entry["path"].is_string()) continue;
    const auto bytes = entry.value("bytes", json(0));
    record.removed.push_back({entry["path"].get<std::string>(),
                              bytes.is_number_integer() ? bytes.get<std::int64_t>() : 0});
  }
  return std::optional<RemovalRecord>(std::move(record));
}

}  // namespace brimvale::care
