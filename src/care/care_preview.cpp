#include "care/care_preview.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace brimvale::care {

Result<std::vector<ReclaimItem>> parsePreview(std::string_view json) {
  const auto doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object() || !doc.contains("items") || !doc["items"].is_array()) {
    return fail(Errc::kParse, "it is not a saved `brimvale care --preview --json`");
  }
  std::vector<ReclaimItem> items;
  for (const auto& item : doc["items"]) {
    const auto category = reclaimCategoryFromRaw(item.value("category", ""));
    if (!category || !item.contains("path") || !item["path"].is_string() ||
        !item.contains("bytes") || !item["bytes"].is_number_integer()) {
      return fail(Errc::kParse, "an item lacks its category, path or size");
    }
    items.push_back({.category = *category,
                     .path = item["path"].get<std::string>(),
                     .bytes = item["bytes"].get<std::int64_t>(),
                     .agedFrom = item.value("agedFromEpoch", std::time_t{0})});
  }
  return items;
}

PreviewCheck checkPreview(const std::vector<ReclaimItem>& previewed,
                          const std::vector<ReclaimItem>& dueNow,
                          const std::function<bool(const std::string&)>& exists) {
  PreviewCheck check;
  for (const auto& item : previewed) {
    const auto now = std::ranges::find_if(dueNow, [&](const ReclaimItem& due) {
      return due.path == item.path && due.category == item.category;
    });
    if (now == dueNow.end()) {
      (exists(item.path) ? check.noLongerDue : check.gone).push_back(item);
    } else if (now->bytes > item.bytes) {
      check.grown.push_back(*now);
    } else {
      check.toClear.push_back(*now);
    }
  }
  return check;
}

namespace {

std::string previewPaths(const std::vector<ReclaimItem>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item.path;
  return text;
}

}  // namespace

std::string changedSince(const PreviewCheck& check) {
  std::string text;
  if (!check.gone.empty()) text += "Gone since the preview: " + previewPaths(check.gone) + ".\n";
  if (!check.grown.empty()) {
    text += "Grown since the preview, so left as it is: " + previewPaths(check.grown) + ".\n";
  }
  if (!check.noLongerDue.empty()) {
    text += "No longer due to be cleared (changed or in use), so left as it is: " +
            previewPaths(check.noLongerDue) + ".\n";
  }
  return text;
}

}  // namespace brimvale::care
