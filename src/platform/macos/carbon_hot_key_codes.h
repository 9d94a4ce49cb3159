// What Carbon's RegisterEventHotKey needs for a hot key, worked out portably:
// the virtual key code of a key name, the modifier mask, the application's
// four-character signature and the log line of a failed registration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/hot_keys.h"

namespace brimvale::platform {

// The big-endian number of a four-character code, as Carbon's 'abcd'.
[[nodiscard]] constexpr std::uint32_t fourCharCode(std::string_view code) {
  std::uint32_t value = 0;
  for (const char c : code) value = value << 8 | static_cast<unsigned char>(c);
  return value;
}

// Carried in every EventHotKeyID of this application, so a press is known as ours.
inline constexpr std::uint32_t kCarbonHotKeySignature = fourCharCode("BRVL");
// Carbon's paramErr: what an unknown key name answers, as the system would.
inline constexpr int kCarbonParamErr = -50;

// The kVK_ code of a key named as in HotKeyCombo ("j", "7", "space", "F5");
// letters in either case. Nothing for a key Carbon has no fixed code for.
[[nodiscard]] std::optional<std::uint32_t> carbonVirtualKey(std::string_view key);
// cmdKey, shiftKey, optionKey and controlKey for the HotKeyModifier bits.
[[nodiscard]] std::uint32_t carbonModifierMask(std::uint32_t modifiers);

struct CarbonHotKeyRequest {
  std::uint32_t keyCode = 0;
  std::uint32_t modifiers = 0;
  std::uint32_t signature = kCarbonHotKeySignature;
  std::uint32_t id = 0;
  bool operator==(const CarbonHotKeyRequest&) const = default;
};
[[nodiscard]] std::optional<CarbonHotKeyRequest> carbonHotKeyRequest(std::uint32_t id,
                                                                     const HotKeyCombo& combo);

// The combination as the macOS menus write it, e.g. "⌃⌥J", "⇧⌘Space".
[[nodiscard]] std::string hotKeyComboName(const HotKeyCombo& combo);
// The line logged when the system refuses a registration.
[[nodiscard]] std::string globalHotKeyFailure(int status, std::string_view name);

}  // namespace brimvale::platform
