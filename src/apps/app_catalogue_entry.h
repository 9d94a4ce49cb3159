// One installed application as the catalogue lists it, and the names of the
// catalogue's categories, location tabs and sort orders.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/raw_names.h"

namespace brimvale::apps {

// The App Store category a bundle declares in `LSApplicationCategoryType`.
enum class AppCategory {
  kBusiness,
  kDeveloperTools,
  kEducation,
  kEntertainment,
  kFinance,
  kGames,
  kGraphicsDesign,
  kHealthcareFitness,
  kLifestyle,
  kMedical,
  kMusic,
  kNews,
  kPhotography,
  kProductivity,
  kReference,
  kSocialNetworking,
  kSports,
  kTravel,
  kUtilities,
  kVideo,
  kWeather,
};

struct AppCategoryRow {
  AppCategory value;
  std::string_view raw;    // the word after "public.app-category."; also the JSON name
  std::string_view title;  // what a person reads
};

inline constexpr std::array<AppCategoryRow, 21> kAppCategories{{
    {AppCategory::kBusiness, "business", "Business"},
    {AppCategory::kDeveloperTools, "developer-tools", "Developer Tools"},
    {AppCategory::kEducation, "education", "Education"},
    {AppCategory::kEntertainment, "entertainment", "Entertainment"},
    {AppCategory::kFinance, "finance", "Finance"},
    {AppCategory::kGames, "games", "Games"},
    {AppCategory::kGraphicsDesign, "graphics-design", "Graphics & Design"},
    {AppCategory::kHealthcareFitness, "healthcare-fitness", "Health & Fitness"},
    {AppCategory::kLifestyle, "lifestyle", "Lifestyle"},
    {AppCategory::kMedical, "medical", "Medical"},
    {AppCategory::kMusic, "music", "Music"},
    {AppCategory::kNews, "news", "News"},
    {AppCategory::kPhotography, "photography", "Photography"},
    {AppCategory::kProductivity, "productivity", "Productivity"},
    {AppCategory::kReference, "reference", "Reference"},
    {AppCategory::kSocialNetworking, "social-networking", "Social Networking"},
    {AppCategory::kSports, "sports", "Sports"},
    {AppCategory::kTravel, "travel", "Travel"},
    {AppCategory::kUtilities, "utilities", "Utilities"},
    {AppCategory::kVideo, "video", "Video"},
    {AppCategory::kWeather, "weather", "Weather"},
}};

[[nodiscard]] std::string_view categoryRawName(AppCategory category);
[[nodiscard]] std::string_view categoryTitle(AppCategory category);
// The category of a raw name ("graphics-design"); nullopt for any other text.
[[nodiscard]] std::optional<AppCategory> categoryOfRawName(std::string_view raw);
// The category of an `LSApplicationCategoryType` value
// ("public.app-category.graphics-design"); nullopt when missing or unknown.
[[nodiscard]] std::optional<AppCategory> categoryOfType(std::string_view type);

// The catalogue's location tabs.
enum class AppsLocationFilter { kAll, kInternalDisk, kMoved, kOffloaded };

struct AppsLocationRow {
  AppsLocationFilter value;
  std::string_view raw;  // the command line's word
  std::string_view title;
};

inline constexpr std::array<AppsLocationRow, 4> kAppsLocations{{
    {AppsLocationFilter::kAll, "all", "All Apps"},
    {AppsLocationFilter::kInternalDisk, "internal", "Internal"},
    {AppsLocationFilter::kMoved, "moved", "Moved"},
    {AppsLocationFilter::kOffloaded, "offloaded", "Offloaded"},
}};

[[nodiscard]] std::optional<AppsLocationFilter> locationOfRawName(std::string_view raw);
[[nodiscard]] std::string_view locationTitle(AppsLocationFilter location);

enum class AppsSortOrder { kName, kLastUsed, kSize, kSafety };

inline constexpr std::array<RawName<AppsSortOrder>, 4> kAppsSortOrderNames{{
    {AppsSortOrder::kName, "name"},
    {AppsSortOrder::kLastUsed, "last-used"},
    {AppsSortOrder::kSize, "size"},
    {AppsSortOrder::kSafety, "safety"},
}};

struct AppEntry {
  std::string id;           // the bundle path standardised, stable while the app stays put
  std::string displayName;  // as the user knows the app
  std::string bundlePath;   // where it was found: a bundle, or a link to one
  std::optional<std::string> bundleIdentifier;
  std::int64_t sizeBytes = 0;            // of the bundle itself (of its target when relocated)
  std::optional<std::int64_t> lastUsed;  // seconds since the epoch; unset: no record
  bool alreadyRelocated = false;         // the entry is a link (to the drive)
  bool appleSigned = false;
  bool running = false;
  std::optional<AppCategory> category;
  // Found in the user's own applications folder, which the user may change
  // without an administrator's permission.
  bool inUserFolder = false;
};

inline constexpr std::string_view kAlreadyRelocatedReason =
    "Already relocated to NVMe. Use the Moved tab to bring it back.";

// Why the app cannot be moved as it stands, as far as the catalogue alone can
// tell: a relocated app is blocked until it is brought back. nullopt otherwise.
[[nodiscard]] std::optional<std::string> catalogueBlockReason(const AppEntry& entry);

// What is said beside an app with no last-used date.
[[nodiscard]] std::string noLastUsedExplanation();

}  // namespace brimvale::apps
