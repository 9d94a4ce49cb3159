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

bool isPrivateOffer(const std::vector<std::string>& types) {
  return has(types, kConcealedType) || has(types, kTransientType) ||
         has(types, kPasswordManagerHintType);
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

std::string htmlAsUtf8(std::string_view bytes) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const bool little = bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE;
  const bool big = bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF;
  std::string out;
  if (!little && !big) {
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF)
      bytes.remove_prefix(3);
    out.assign(bytes);
  } else {
    const auto unit = [&](std::size_t i) -> std::uint32_t {
      return little ? at(i) | at(i + 1) << 8 : at(i) << 8 | at(i + 1);
    };
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      std::uint32_t c = unit(i);
      if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
        const std::uint32_t low = unit(i + 2);
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // a lone surrogate
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
  }
  while (!out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

}  // namespace brimvale::platform
