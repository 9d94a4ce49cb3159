#include "junk/junk_link.h"

#include <algorithm>
#include <cctype>

#include "common/base/text_formats.h"

namespace brimvale::junk {
namespace {

// UTF-8 characters: every byte that does not continue a sequence.
std::size_t characterCount(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// The host of "scheme://[user@]host[:port][/...]", empty when there is none.
std::string_view hostOf(std::string_view afterScheme) {
  std::string_view authority = afterScheme.substr(0, afterScheme.find_first_of("/?#"));
  if (auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (!authority.empty() && authority.front() == '[') return {};  // IPv6 literals hold no dot
  return authority.substr(0, authority.find(':'));
}

}  // namespace

std::optional<std::string> junkLinkOf(std::string_view text) {
  const std::string t = trimmed(text);
  if (t.empty() || characterCount(t) > kJunkLinkMaxChars) return std::nullopt;
  if (t.find_first_of(" \t\r\n") != std::string_view::npos) return std::nullopt;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (startsWithNoCase(t, scheme)) {
      if (hostOf(t.substr(scheme.size())).find('.') != std::string_view::npos) {
        return std::string(t);
      }
      return std::nullopt;
    }
  }
  if (t.starts_with("www.") && t.find('.') != std::string_view::npos) {
    return "https://" + std::string(t);
  }
  return std::nullopt;
}

std::optional<std::string> junkItemLink(const JunkItem& item) {
  if (item.kind != JunkKind::kText || !item.plainText) return std::nullopt;
  return junkLinkOf(*item.plainText);
}

}  // namespace brimvale::junk
