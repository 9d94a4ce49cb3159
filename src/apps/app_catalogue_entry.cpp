#include "apps/app_catalogue_entry.h"

#include "common/base/platform_words.h"

namespace brimvale::apps {
namespace {

constexpr std::string_view kCategoryTypePrefix = "public.app-category.";

const AppCategoryRow& rowOf(AppCategory category) {
  for (const auto& row : kAppCategories) {
    if (row.value == category) return row;
  }
  return kAppCategories[0];
}

}  // namespace

std::string_view categoryRawName(AppCategory category) { return rowOf(category).raw; }

std::string_view categoryTitle(AppCategory category) { return rowOf(category).title; }

std::optional<AppCategory> categoryOfRawName(std::string_view raw) {
  for (const auto& row : kAppCategories) {
    if (row.raw == raw) return row.value;
  }
  return std::nullopt;
}

std::optional<AppCategory> categoryOfType(std::string_view type) {
  if (!type.starts_with(kCategoryTypePrefix)) return std::nullopt;
  return categoryOfRawName(type.substr(kCategoryTypePrefix.size()));
}

std::optional<AppsLocationFilter> locationOfRawName(std::string_view raw) {
  for (const auto& row : kAppsLocations) {
    if (row.raw == raw) return row.value;
  }
  return std::nullopt;
}

std::string_view locationTitle(AppsLocationFilter location) {
  for (const auto& row : kAppsLocations) {
    if (row.value == location) return row.title;
  }
  return kAppsLocations[0].title;
}

std::optional<std::string> catalogueBlockReason(const AppEntry& entry) {
  if (entry.alreadyRelocated) return std::string(kAlreadyRelocatedReason);
  return std::nullopt;
}

std::string noLastUsedExplanation() {
  return std::string(kHostWords.system) +
         " has no record of this app being opened by you. It might be brand new, or you've never "
         "launched it.";
}

}  // namespace brimvale::apps
