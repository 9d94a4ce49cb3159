#include "platform/macos/carbon_hot_key_codes.h"

#include <gtest/gtest.h>

#include <set>

namespace brimvale::platform {
namespace {

TEST(CarbonHotKeyCodes, PresetKeysAndModifiersMapToCarbonsCodes) {
  struct Case {
    HotKeyCombo combo;
    std::optional<CarbonHotKeyRequest> request;
    std::string name;
  };
  // Codes and masks as Carbon's Events.h defines them (kVK_ANSI_J = 0x26,
  // controlKey = 0x1000, optionKey = 0x0800, shiftKey = 0x0200, cmdKey = 0x0100).
  const Case cases[] = {
      {{"j", kHotKeyControl | kHotKeyOption},
       CarbonHotKeyRequest{0x26, 0x1800, 0x4252564C, 1},
       "⌃⌥J"},
      {{"V", kHotKeyCommand | kHotKeyShift},
       CarbonHotKeyRequest{0x09, 0x0300, 0x4252564C, 1},
       "⇧⌘V"},
      {{"n", kHotKeyControl | kHotKeyShift},
       CarbonHotKeyRequest{0x2D, 0x1200, 0x4252564C, 1},
       "⌃⇧N"},
      {{"space", kHotKeyControl | kHotKeyOption},
       CarbonHotKeyRequest{0x31, 0x1800, 0x4252564C, 1},
       "⌃⌥Space"},
      {{"5", kHotKeyCommand}, CarbonHotKeyRequest{0x17, 0x0100, 0x4252564C, 1}, "⌘5"},
      {{"F5", 0}, CarbonHotKeyRequest{0x60, 0, 0x4252564C, 1}, "F5"},
      {{"F12", kHotKeyOption}, CarbonHotKeyRequest{0x6F, 0x0800, 0x4252564C, 1}, "⌥F12"},
      {{"f5", 0}, std::nullopt, "F5"},
      {{"", kHotKeyCommand}, std::nullopt, "⌘"},
      {{"ß", kHotKeyCommand}, std::nullopt, "⌘ß"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(carbonHotKeyRequest(1, c.combo), c.request);
    EXPECT_EQ(hotKeyComboName(c.combo), c.name);
  }
  // The signature is the four characters, first in the highest byte.
  EXPECT_EQ(kCarbonHotKeySignature, ('B' << 24) | ('R' << 16) | ('V' << 8) | 'L');
  EXPECT_EQ(carbonHotKeyRequest(3, {"n", 0})->id, 3u);
  EXPECT_EQ(globalHotKeyFailure(-9878, "⌃⌥J"),
            "GlobalHotKey: RegisterEventHotKey failed (-9878) for ⌃⌥J");
}

TEST(CarbonHotKeyCodes, EveryLetterAndDigitHasItsOwnCode) {
  std::set<std::uint32_t> seen;
  for (const char c : std::string_view("abcdefghijklmnopqrstuvwxyz0123456789")) {
    SCOPED_TRACE(c);
    const auto code = carbonVirtualKey(std::string(1, c));
    ASSERT_TRUE(code);
    EXPECT_TRUE(seen.insert(*code).second) << "two keys share code " << *code;
  }
}

}  // namespace
}  // namespace brimvale::platform
