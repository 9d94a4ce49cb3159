#include "care/care_plan.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "common/base/text_formats.h"

namespace brimvale::care {

std::string_view progressLine(const CareStep& step) {
  switch (step.kind) {
    case CareStep::Kind::kCachesAndRarelyUsedFiles:
      return "Tidying large folders and clearing caches…";
    case CareStep::Kind::kReclaim:
      switch (step.category) {
        case ReclaimCategory::kDevcaches: return "Clearing developer and package caches…";
        case ReclaimCategory::kSyslog: return "Clearing system and log clutter…";
        case ReclaimCategory::kTrash: return "Emptying old items from your Trash…";
      }
      break;
    case CareStep::Kind::kOldLocalBackups: return "Reclaiming space from old backups…";
    case CareStep::Kind::kCloudOnlineOnly: return "Keeping cloud files online-only…";
  }
  return {};
}

std::string_view stepName(const CareStep& step) {
  std::string_view name = progressLine(step);
  constexpr std::string_view kEllipsis = "…";
  if (name.ends_with(kEllipsis)) name.remove_suffix(kEllipsis.size());
  return name;
}

std::optional<ReclaimFigures> parseReclaimLine(std::string_view line) {
  const auto doc = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return std::nullopt;
  const auto category = doc.find("category");
  const auto bytes = doc.find("freed_bytes");
  if (category == doc.end() || !category->is_string() || bytes == doc.end() ||
      !bytes->is_number_integer()) {
    return std::nullopt;
  }
  const auto parsed = reclaimCategoryFromRaw(category->get<std::string>());
  if (!parsed) return std::nullopt;
  ReclaimFigures figures{.category = *parsed, .bytes = bytes->get<std::int64_t>()};
  if (const auto items = doc.find("items"); items != doc.end() && items->is_number_integer()) {
    figures.items = items->get<std::int64_t>();
  }
  figures.keptItems = doc.value("kept_items", std::int64_t{0});
  figures.keptBytes = doc.value("kept_bytes", std::int64_t{0});
  const auto skipped = doc.find("skipped");
  figures.deleteDisabled =
      skipped != doc.end() && skipped->is_string() && *skipped == "delete_disabled";
  return figures;
}

std::optional<ReclaimFigures> parseReclaimResult(std::string_view output) {
  const auto lines = splitLines(output);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!trimBlanks(*it).empty()) return parseReclaimLine(*it);
  }
  return std::nullopt;
}

std::optional<std::string> reclaimRefusal(std::string_view output) {
  const auto lines = splitLines(output);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (trimBlanks(*it).empty()) continue;
    const auto doc = nlohmann::json::parse(*it, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object()) return std::nullopt;
    const auto refused = doc.find("refused");
    if (refused == doc.end() || !refused->is_string() || refused->get<std::string>().empty()) {
      return std::nullopt;
    }
    return refused->get<std::string>();
  }
  return std::nullopt;
}

std::vector<ReclaimFigures> parseReclaimScan(std::string_view output) {
  std::vector<ReclaimFigures> scan;
  for (std::string_view line : splitLines(output)) {
    if (auto figures = parseReclaimLine(line)) scan.push_back(*figures);
  }
  return scan;
}

std::vector<ReclaimItem> parseReclaimItems(std::string_view output) {
  std::vector<ReclaimItem> items;
  for (std::string_view line : splitLines(output)) {
    const auto doc = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object()) continue;
    const auto category = doc.find("category");
    const auto path = doc.find("path");
    const auto bytes = doc.find("bytes");
    if (category == doc.end() || !category->is_string() || path == doc.end() ||
        !path->is_string() || bytes == doc.end() || !bytes->is_number_integer()) {
      continue;
    }
    const auto parsed = reclaimCategoryFromRaw(category->get<std::string>());
    if (!parsed) continue;
    const auto agedFrom = doc.find("aged_from");
    items.push_back({.category = *parsed,
                     .path = path->get<std::string>(),
                     .bytes = bytes->get<std::int64_t>(),
                     .agedFrom = agedFrom != doc.end() && agedFrom->is_number_integer()
                                     ? agedFrom->get<std::time_t>()
                                     : 0});
  }
  return items;
}

std::vector<CareStep> sizedPlan(const std::vector<CareStep>& plan,
                                const std::vector<ReclaimFigures>& scan) {
  std::vector<CareStep> sized{{CareStep::Kind::kCachesAndRarelyUsedFiles}};
  for (ReclaimCategory category :
       {ReclaimCategory::kDevcaches, ReclaimCategory::kSyslog, ReclaimCategory::kTrash}) {
    const bool worthRunning = std::ranges::any_of(scan, [&](const ReclaimFigures& f) {
      return f.category == category && f.bytes > 0 && !f.deleteDisabled;
    });
    if (worthRunning) sized.push_back(CareStep::reclaim(category));
  }
  for (const auto& step : plan) {
    if (step.kind == CareStep::Kind::kOldLocalBackups ||
        step.kind == CareStep::Kind::kCloudOnlineOnly) {
      sized.push_back(step);
    }
  }
  return sized;
}

std::int64_t untouchedTrashBytes(const std::vector<ReclaimFigures>& scan) {
  std::int64_t bytes = 0;
  for (const auto& f : scan) {
    if (f.category == ReclaimCategory::kTrash && f.deleteDisabled) bytes += f.bytes;
  }
  return bytes;
}

}  // namespace brimvale::care
