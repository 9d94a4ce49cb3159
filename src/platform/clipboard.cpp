#include "platform/clipboard.h"

#include <algorithm>
#include <cctype>

namespace brimvale::platform {
namespace {

bool has(const std::vector<std::string>& types, std::string_view type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool isPrivateOffer(const std::vector<std::string>& types,
                    const std::function<std::optional<std::string>()>& hint) {
  if (has(types, kConcealedType) || has(types, kTransientType)) return true;
  if (!has(types, kPasswordManagerHintType)) return false;
  auto value = hint();
  // Some writers end the value with a newline or a NUL.
  if (!value) return false;
  while (!value->empty() &&
         (value->back() == '\0' || std::isspace(static_cast<unsigned char>(value->back()))))
    value->pop_back();
  return *value == "secret";
}

std::optional<std::string> filePathOfUrl(std::string_view url) {
  constexpr std::string_view kScheme = "file://";
  if (url.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  url.remove_prefix(kScheme.size());
  constexpr std::string_view kLocalhost = "localhost";
  if (url.substr(0, kLocalhost.size()) == kLocalhost) url.remove_prefix(kLocalhost.size());
  if (url.empty() || url.front() != '/') return std::nullopt;
  std::string path;
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] != '%') {
      path += url[i];
      continue;
    }
    if (i + 2 >= url.size()) return std::nullopt;
    const int hi = hexValue(url[i + 1]);
    const int lo = hexValue(url[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    path += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return path;
}

std::string fileUrlOfPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      url += c;
    } else {
      url += '%';
      url += kHex[b >> 4];
      url += kHex[b & 15];
    }
  }
  return url;
}

std::vector<std::string> filePathsOfUriList(std::string_view list) {
  std::vector<std::string> paths;
  while (!list.empty()) {
    const auto end = list.find('\n');
    std::string_view line = list.substr(0, end);
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\0')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (auto path = filePathOfUrl(line)) paths.push_back(std::move(*path));
  }
  return paths;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(
    const std::vector<std::uint8_t>& png) {
  static constexpr std::uint8_t kMagic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  // Magic, then the IHDR chunk: length, "IHDR", width, height (big-endian).
  if (png.size() < 24 || !std::equal(std::begin(kMagic), std::end(kMagic), png.begin()) ||
      std::string_view(reinterpret_cast<const char*>(png.data()) + 12, 4) != "IHDR")
    return std::nullopt;
  auto word = [&](std::size_t at) {
    return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 |
           std::uint32_t{png[at + 2]} << 8 | std::uint32_t{png[at + 3]};
  };
  return std::pair{word(16), word(20)};
}

}  // namespace brimvale::platform
