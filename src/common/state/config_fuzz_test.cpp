// Deterministic fuzzing of the configuration reader: files of well-formed
// assignments interleaved with broken and hostile lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/state/config_file.h"
#include "common/state/preferences_writer.h"

namespace brimvale {
namespace {

constexpr std::string_view kHome = "/Users/fuzz home";

const std::vector<std::string>& trickyValues() {
  static const std::vector<std::string> values = {
      "",
      "plain",
      "9-19",
      "it's",
      "''",
      "a b  c",
      "$HOME",
      "${HOME}",
      "$USER",
      "\\",
      "\\\"",
      "#x",
      "a # b",
      "(x)",
      "semi;colon",
      "`cmd`",
      "tab\there",
      "caf\xC3\xA9",
      "\x01\x7f\xff",
      "x=y",
      "NVMe=/evil",
      " lead",
      "trail ",
      std::string("nul\0byte", 8),
      ")",
      "\"",
      "'",
  };
  return values;
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return rng_() % n; }
  bool chance(std::size_t oneIn) { return below(oneIn) == 0; }
  const std::string& tricky() { return trickyValues()[below(trickyValues().size())]; }

  static std::string doubleQuoted(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
      if (c == '"' || c == '\\' || c == '$') out += '\\';
      out += c;
    }
    return out + "\"";
  }

  // One well-formed assignment of `key`: its text (ending in '\n') and the
  // value it must produce.
  std::pair<std::string, ConfigValue> assignment(const std::string& key) {
    std::string prefix = chance(4) ? "export " + key + "=" : key + "=";
    if (chance(4)) return array(key);
    const std::string& value = tricky();
    switch (below(6)) {
      case 0: return {prefix + encodePreferenceValue(value) + "\n", {false, value, {}}};
      case 1:
        return {prefix + doubleQuoted(value) + (chance(2) ? "  # note\n" : "\n"),
                {false, value, {}}};
      case 2:
        return {prefix + "\"$HOME/\"" + doubleQuoted(value) + "\n",
                {false, std::string(kHome) + "/" + value, {}}};
      case 3: {
        std::string word = bareWord();
        return {prefix + word + (chance(2) ? " # comment 'x\n" : "\n"), {false, word, {}}};
      }
      case 4: {
        static const std::vector<std::string> empties = {"", "''", "\"\"", " # empty"};
        return {prefix + empties[below(empties.size())] + "\n", {false, "", {}}};
      }
      default:
        return {prefix + "'" + value.substr(0, value.find('\'')) + "'\n",
                {false, value.substr(0, value.find('\'')), {}}};
    }
  }

  std::string garbage() {
    switch (below(9)) {
      case 0: return "G" + std::to_string(below(100)) + "=\"" + tricky() + "\n";
      case 1: return "G=( \"a\" '" + tricky() + "\n";
      case 2: {
        std::string out = "G" + std::to_string(below(100)) + "=(\n";
        for (std::size_t i = below(4); i > 0; --i) out += "  " + doubleQuoted(tricky()) + "\n";
        return out;
      }
      case 3: return chance(2) ? ")\n" : "  (\n";
      case 4: {
        std::string out;
        for (std::size_t i = below(200); i > 0; --i) out += static_cast<char>(rng_() & 0xff);
        return out + "\n";
      }
      case 5: {
        if (!chance(40)) return "G=two words\nexport\nG=trailing\\\n";
        std::string out = chance(2) ? "G=\"" : "";
        out.resize(out.size() + (std::size_t{1} << 20), 'q');
        for (std::size_t i = 0; i < 64; ++i) out[below(out.size())] = "\"'\\$( "[below(6)];
        return out + "\n";
      }
      default: return mutated();
    }
  }

 private:
  std::string bareWord() {
    static constexpr std::string_view kAlphabet = "abcXYZ019._-/,:+@%";
    std::string word;
    for (std::size_t i = 1 + below(12); i > 0; --i) word += kAlphabet[below(kAlphabet.size())];
    return word;
  }

  std::pair<std::string, ConfigValue> array(const std::string& key) {
    ConfigValue expected{true, {}, {}};
    std::vector<std::string> quoted;
    for (std::size_t i = below(5); i > 0; --i) {
      const std::string& element = tricky();
      quoted.push_back(doubleQuoted(element));
      if (!element.empty()) expected.elements.push_back(element);
    }
    std::string text = key + "=(";
    bool multiLine = chance(2);
    for (const std::string& q : quoted) text += multiLine ? "\n  " + q : " " + q;
    text += multiLine ? "\n)\n" : ")\n";
    return {text, expected};
  }

  // A valid line with a few bytes flipped, inserted or deleted: often broken,
  // sometimes still valid; either way it never names a kept key.
  std::string mutated() {
    std::string line = assignment("G" + std::to_string(below(100))).first;
    line.pop_back();
    for (std::size_t i = 1 + below(3); i > 0 && !line.empty(); --i) {
      std::size_t at = 1 + below(line.size());
      char byte = "\"'\\()$#= \t\r\0x"[below(13)];
      switch (below(3)) {
        case 0:
          if (at < line.size()) line[at] = byte;
          break;
        case 1:
          line.insert(line.begin() + static_cast<std::ptrdiff_t>(std::min(at, line.size())), byte);
          break;
        default:
          if (at < line.size()) line.erase(at, 1);
      }
    }
    return line + "\n";
  }

  std::mt19937 rng_;
};

// Given any mix of broken lines around them, then every well-formed
// assignment is read with exactly its value.
TEST(ConfigFuzz, KeepsEveryWellFormedAssignment) {
  Generator gen(20240611);
  for (int file = 0; file < 3000; ++file) {
    std::string clean;
    std::string noisy;
    ConfigValues expected;
    for (std::size_t i = 1 + gen.below(12); i > 0; --i) {
      for (std::size_t g = gen.below(4); g > 0; --g) noisy += gen.garbage();
      std::string key = "KEEP_" + std::to_string(gen.below(8));
      auto [text, value] = gen.assignment(key);
      clean += text;
      noisy += text;
      expected[key] = value;
    }
    if (gen.chance(3)) noisy += gen.garbage();
    if (gen.chance(4) && !noisy.empty()) noisy.pop_back();  // no final newline

    SCOPED_TRACE("file " + std::to_string(file));
    EXPECT_EQ(parseConfig(clean, kHome), expected) << clean;
    ConfigValues parsed = parseConfig(noisy, kHome);
    for (const auto& [key, value] : expected) {
      auto it = parsed.find(key);
      ASSERT_NE(it, parsed.end()) << key;
      ASSERT_EQ(it->second, value) << key;
    }
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace brimvale
