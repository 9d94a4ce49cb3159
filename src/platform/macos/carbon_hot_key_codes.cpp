#include "platform/macos/carbon_hot_key_codes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace brimvale::platform {
namespace {

// kVK_* of HIToolbox: positions on the ANSI keyboard, whatever the layout.
constexpr std::array<std::pair<std::string_view, std::uint32_t>, 52> kKeys = {{
    {"a", 0x00},  {"s", 0x01},      {"d", 0x02},     {"f", 0x03},      {"h", 0x04},  {"g", 0x05},
    {"z", 0x06},  {"x", 0x07},      {"c", 0x08},     {"v", 0x09},      {"b", 0x0B},  {"q", 0x0C},
    {"w", 0x0D},  {"e", 0x0E},      {"r", 0x0F},     {"y", 0x10},      {"t", 0x11},  {"1", 0x12},
    {"2", 0x13},  {"3", 0x14},      {"4", 0x15},     {"6", 0x16},      {"5", 0x17},  {"9", 0x19},
    {"7", 0x1A},  {"8", 0x1C},      {"0", 0x1D},     {"o", 0x1F},      {"u", 0x20},  {"i", 0x22},
    {"p", 0x23},  {"return", 0x24}, {"l", 0x25},     {"j", 0x26},      {"k", 0x28},  {"n", 0x2D},
    {"m", 0x2E},  {"tab", 0x30},    {"space", 0x31}, {"escape", 0x35}, {"F1", 0x7A}, {"F2", 0x78},
    {"F3", 0x63}, {"F4", 0x76},     {"F5", 0x60},    {"F6", 0x61},     {"F7", 0x62}, {"F8", 0x64},
    {"F9", 0x65}, {"F10", 0x6D},    {"F11", 0x67},   {"F12", 0x6F},
}};

// Carbon's modifier bits (Events.h).
constexpr std::uint32_t kCmdKey = 1u << 8;
constexpr std::uint32_t kShiftKey = 1u << 9;
constexpr std::uint32_t kOptionKey = 1u << 11;
constexpr std::uint32_t kControlKey = 1u << 12;

}  // namespace

std::optional<std::uint32_t> carbonVirtualKey(std::string_view key) {
  std::string name(key);
  // Single letters come in either case; named keys as HotKeyCombo spells them.
  if (name.size() == 1)
    name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
  const auto it = std::find_if(kKeys.begin(), kKeys.end(),
                               [&](const auto& entry) { return entry.first == name; });
  if (it == kKeys.end()) return std::nullopt;
  return it->second;
}

std::uint32_t carbonModifierMask(std::uint32_t modifiers) {
  std::uint32_t mask = 0;
  if (modifiers & kHotKeyCommand) mask |= kCmdKey;
  if (modifiers & kHotKeyShift) mask |= kShiftKey;
  if (modifiers & kHotKeyOption) mask |= kOptionKey;
  if (modifiers & kHotKeyControl) mask |= kControlKey;
  return mask;
}

std::optional<CarbonHotKeyRequest> carbonHotKeyRequest(std::uint32_t id, const HotKeyCombo& combo) {
  const auto code = carbonVirtualKey(combo.key);
  if (!code) return std::nullopt;
  return CarbonHotKeyRequest{*code, carbonModifierMask(combo.modifiers), kCarbonHotKeySignature,
                             id};
}

std::string hotKeyComboName(const HotKeyCombo& combo) {
  std::string name;
  // The order of the macOS menus.
  if (combo.modifiers & kHotKeyControl) name += "⌃";
  if (combo.modifiers & kHotKeyOption) name += "⌥";
  if (combo.modifiers & kHotKeyShift) name += "⇧";
  if (combo.modifiers & kHotKeyCommand) name += "⌘";
  std::string key = combo.key;
  if (!key.empty()) key[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(key[0])));
  return name + key;
}

std::string globalHotKeyFailure(int status, std::string_view name) {
  return "GlobalHotKey: RegisterEventHotKey failed (" + std::to_string(status) + ") for " +
         std::string(name);
}

}  // namespace brimvale::platform
