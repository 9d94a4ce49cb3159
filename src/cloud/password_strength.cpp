#include "cloud/password_strength.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

namespace brimvale::cloud {
namespace {

constexpr std::array<std::string_view, 42> kCommonPasswords{
    "password",  "123456",   "123456789", "12345678",   "12345",    "qwerty",   "abc123",
    "password1", "111111",   "1234567",   "iloveyou",   "123123",   "admin",    "welcome",
    "monkey",    "letmein",  "dragon",    "football",   "baseball", "sunshine", "princess",
    "qwerty123", "1q2w3e4r", "master",    "shadow",     "superman", "trustno1", "passw0rd",
    "654321",    "000000",   "1234",      "qwertyuiop", "starwars", "michael",  "login",
    "hello",     "freedom",  "whatever",  "charlie",    "123qwe",   "zaq12wsx", "changeme",
};

constexpr std::array<std::string_view, 9> kKeyboardWalks{
    "qwerty", "asdf", "zxcv", "1234", "12345", "123456", "qwertz", "azerty", "wasd"};

bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool hasYear(std::string_view s) {
  for (std::size_t i = 0; i + 4 <= s.size(); ++i) {
    bool century = (s[i] == '1' && s[i + 1] == '9') || (s[i] == '2' && s[i + 1] == '0');
    if (century && isDigit(s[i + 2]) && isDigit(s[i + 3])) return true;
  }
  return false;
}

bool hasTripleRun(std::string_view s) {
  for (std::size_t i = 0; i + 3 <= s.size(); ++i) {
    if (s[i] == s[i + 1] && s[i] == s[i + 2]) return true;
  }
  return false;
}

}  // namespace

int passwordStrength(std::string_view text) {
  if (text.empty()) return 0;
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](char c) { return isUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; });
  if (std::find(kCommonPasswords.begin(), kCommonPasswords.end(), lowered) !=
      kCommonPasswords.end()) {
    return 0;
  }

  double score = text.size() < 8 ? 0 : text.size() < 12 ? 1 : text.size() < 16 ? 2 : 3;
  bool lower = std::any_of(text.begin(), text.end(), isLower);
  bool upper = std::any_of(text.begin(), text.end(), isUpper);
  bool digit = std::any_of(text.begin(), text.end(), isDigit);
  bool other = std::any_of(text.begin(), text.end(),
                           [](char c) { return !isLower(c) && !isUpper(c) && !isDigit(c); });
  score += 0.5 * (lower + upper + digit + other);

  if (hasTripleRun(text)) score -= 1;
  if (std::any_of(kKeyboardWalks.begin(), kKeyboardWalks.end(),
                  [&](std::string_view walk) { return lowered.find(walk) != std::string::npos; })) {
    score -= 1;
  }
  if (hasYear(text)) score -= 1;
  return std::clamp(static_cast<int>(std::floor(score)), 0, 4);
}

std::optional<std::string_view> strengthAdvice(int score) {
  switch (std::clamp(score, 0, 4)) {
    case 0: return "Won't be accepted \u2014 too short or too common.";
    case 1: return "Won't be accepted \u2014 add length and mix character types.";
    case 2: return "Accepted, but consider adding more length or symbols.";
    case 3: return "Accepted. A few more characters would make it stronger.";
    default: return std::nullopt;
  }
}

}  // namespace brimvale::cloud
