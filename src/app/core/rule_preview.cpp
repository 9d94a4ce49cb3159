#include "app/core/rule_preview.h"

#include <nlohmann/json.hpp>

#include "app/core/json_output.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

using json = nlohmann::json;

std::int64_t ruleItemDays(std::time_t modified, std::time_t now) {
  return std::max<std::int64_t>((now - modified) / 86'400, 0);
}

std::string ruleItemsWord(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " item" : " items");
}

// What the action does, in the words of the preview's table.
std::string ruleActionWords(const RulePreviewItem& item) {
  if (item.action == "move") return "move to " + item.destination;
  if (item.action == "trash") return "move to the Trash";
  return "delete";
}

std::string leftPaths(const std::vector<RulePreviewLeft>& left, std::string_view why) {
  std::string text;
  for (const auto& item : left) {
    if (item.why == why) text += (text.empty() ? "" : ", ") + item.path;
  }
  return text;
}

}  // namespace

RulePreview parseRuleListing(std::string_view output) {
  RulePreview preview;
  for (const std::string_view line : splitLines(output)) {
    const json doc = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object()) continue;
    if (doc.contains("path") && doc["path"].is_string() && doc.contains("action")) {
      preview.items.push_back({.path = doc["path"].get<std::string>(),
                               .bytes = doc.value("bytes", std::int64_t{0}),
                               .modified = doc.value("mtime", std::time_t{0}),
                               .rule = doc.value("rule", ""),
                               .action = doc.value("action", ""),
                               .destination = doc.value("destination", "")});
    } else if (doc.contains("path") && doc["path"].is_string() && doc.contains("left")) {
      preview.left.push_back({doc["path"].get<std::string>(), doc.value("left", "")});
    } else if (doc.contains("items") && doc.contains("kept_items")) {
      preview.kept = {doc.value("kept_items", std::size_t{0}),
                      doc.value("kept_bytes", std::uint64_t{0})};
      preview.drivePresent = doc.value("drive_present", true);
      preview.complete = true;
    }
  }
  return preview;
}

std::string ruleListingLines(const std::vector<RulePreviewItem>& items) {
  std::string lines;
  for (const auto& item : items) {
    json line = {{"path", item.path},
                 {"bytes", item.bytes},
                 {"mtime", item.modified},
                 {"rule", item.rule},
                 {"action", item.action}};
    if (!item.destination.empty()) line["destination"] = item.destination;
    lines += line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  }
  return lines;
}

Result<std::vector<RulePreviewItem>> parseSavedRulePreview(std::string_view text) {
  const json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object() || !doc.contains("items") || !doc["items"].is_array()) {
    return fail(Errc::kParse, "it is not a saved `brimvale rules --preview --json`");
  }
  std::vector<RulePreviewItem> items;
  for (const auto& item : doc["items"]) {
    if (!item.is_object() || !item.contains("path") || !item["path"].is_string() ||
        !item.contains("bytes") || !item["bytes"].is_number_integer() ||
        !item.contains("modifiedEpoch") || !item["modifiedEpoch"].is_number_integer() ||
        !item.contains("action") || !item["action"].is_string()) {
      return fail(Errc::kParse, "an item lacks its path, size, time or action");
    }
    items.push_back({.path = item["path"].get<std::string>(),
                     .bytes = item["bytes"].get<std::int64_t>(),
                     .modified = item["modifiedEpoch"].get<std::time_t>(),
                     .rule = item.value("rule", ""),
                     .action = item["action"].get<std::string>(),
                     .destination = item.value("destination", json()).is_string()
                                        ? item["destination"].get<std::string>()
                                        : ""});
  }
  return items;
}

void sortRulePreview(std::vector<RulePreviewItem>& items, std::optional<ListingOrder> order) {
  if (!order) return;
  sortListing(
      items, *order, [](const RulePreviewItem& i) { return i.bytes; },
      [](const RulePreviewItem& i) { return std::optional<std::time_t>(i.modified); },
      [](const RulePreviewItem& i) { return i.path; });
}

std::string rulePreviewJson(const RulePreview& preview, std::time_t now) {
  json listed = json::array();
  std::int64_t total = 0;
  for (const auto& item : preview.items) {
    listed.push_back({{"rule", item.rule},
                      {"action", item.action},
                      {"path", item.path},
                      {"bytes", item.bytes},
                      {"modified", isots(item.modified)},
                      {"modifiedEpoch", item.modified},
                      {"ageDays", ruleItemDays(item.modified, now)},
                      {"destination", item.destination.empty() ? json() : json(item.destination)}});
    total += item.bytes;
  }
  return versionedText(
      {{"items", listed},
       {"totalBytes", total},
       {"totalItems", static_cast<std::int64_t>(preview.items.size())},
       {"keptByExcludes", {{"items", preview.kept.items}, {"bytes", preview.kept.bytes}}},
       {"drivePresent", preview.drivePresent}});
}

std::string rulePreviewText(const RulePreview& preview, std::time_t now) {
  std::string text;
  if (preview.items.empty()) {
    text = "Your rules would act on no items now.\n";
  } else {
    std::int64_t total = 0;
    std::vector<std::vector<std::string>> rows{{"SIZE", "AGE", "RULE", "ACTION", "PATH"}};
    for (const auto& item : preview.items) {
      const std::int64_t days = ruleItemDays(item.modified, now);
      rows.push_back({platform::formatFileByteCount(item.bytes),
                      days == 1 ? "1 day" : std::to_string(days) + " days", item.rule,
                      ruleActionWords(item), item.path});
      total += item.bytes;
    }
    text = "Your rules would act on these items; nothing was changed:\n" +
           alignedColumns(rows, "  ") + "Total: " + ruleItemsWord(preview.items.size()) + ", " +
           platform::formatFileByteCount(total) + ".\n";
  }
  if (preview.kept.items > 0) text += keptByExcludesLine(preview.kept) + "\n";
  return text;
}

std::string changedSinceRulePreview(const std::vector<RulePreviewLeft>& left) {
  std::string text;
  if (const auto gone = leftPaths(left, "gone"); !gone.empty()) {
    text += "Gone since the preview: " + gone + ".\n";
  }
  if (const auto changed = leftPaths(left, "changed"); !changed.empty()) {
    text += "Changed since the preview (size or time), so left as it is: " + changed + ".\n";
  }
  if (const auto notChosen = leftPaths(left, "not_chosen"); !notChosen.empty()) {
    text += "No longer chosen by your rules as previewed, so left as it is: " + notChosen + ".\n";
  }
  return text;
}

}  // namespace brimvale::app
