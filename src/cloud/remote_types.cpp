#include "cloud/remote_types.h"

#include <algorithm>
#include <array>
#include <utility>

namespace brimvale::cloud {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kDisplayNames{{
    {"drive", "Google Drive"},
    {"googlephotos", "Google Photos"},
    {"local", "Local"},
    {"s3", "Amazon S3"},
    {"b2", "Backblaze B2"},
    {"dropbox", "Dropbox"},
    {"onedrive", "OneDrive"},
    {"box", "Box"},
}};

constexpr std::array<std::pair<std::string_view, int>, 5> kLimits{{
    {"drive", 5},
    {"googlephotos", 3},
    {"s3", 10},
    {"ftp", 10},
    {"sftp", 10},
}};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Every word starts upper-case and goes on lower-case, as a title would.
std::string capitalisedWords(std::string_view text) {
  std::string out;
  bool wordStart = true;
  for (char c : text) {
    bool letterOrDigit = (lower(c) >= 'a' && lower(c) <= 'z') || (c >= '0' && c <= '9');
    out += wordStart ? upper(c) : lower(c);
    wordStart = !letterOrDigit;
  }
  return out;
}

}  // namespace

std::string remoteTypeDisplayName(std::string_view type) {
  for (const auto& [id, name] : kDisplayNames) {
    if (id == type) return std::string(name);
  }
  return capitalisedWords(type);
}

bool isBrowserSignInType(std::string_view type) {
  return type == "drive" || type == "googlephotos" || type == "dropbox" || type == "onedrive" ||
         type == "box";
}

std::optional<int> accountLimit(std::string_view type) {
  for (const auto& [id, limit] : kLimits) {
    if (id == type) return limit;
  }
  return std::nullopt;
}

std::string accountLimitSentence(std::string_view type) {
  return "Account limit reached for " + remoteTypeDisplayName(type) +
         ". Remove one to add another.";
}

std::optional<std::string> accountLimitRefusal(std::string_view type,
                                               const std::vector<std::string>& existingTypes) {
  auto limit = accountLimit(type);
  if (!limit) return std::nullopt;
  auto count = std::count(existingTypes.begin(), existingTypes.end(), type);
  if (count < *limit) return std::nullopt;
  return accountLimitSentence(type);
}

}  // namespace brimvale::cloud
