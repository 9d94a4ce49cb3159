// System-wide hot keys: a key with its modifiers, registered under a numeric
// id, calling back when pressed in any application.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace brimvale::platform {

enum HotKeyModifier : std::uint32_t {
  kHotKeyShift = 1,
  kHotKeyControl = 2,
  kHotKeyOption = 4,   // Alt here
  kHotKeyCommand = 8,  // Super here
};

// A key with its modifier set. `key` names the key as the keyboard layout's
// symbol: "j", "space", "F5".
struct HotKeyCombo {
  std::string key;
  std::uint32_t modifiers = 0;
  bool operator==(const HotKeyCombo&) const = default;
};

class HotKeys {
 public:
  virtual ~HotKeys() = default;
  // Registers `combo` under `id` (replacing what `id` held); `onPress` runs on
  // a thread of the backend. 0 on success, otherwise the platform's status
  // (on X11 the error code, 10 when another client holds the key; on macOS
  // the OSStatus) and nothing is registered.
  [[nodiscard]] virtual int registerHotKey(std::uint32_t id, const HotKeyCombo& combo,
                                           std::function<void()> onPress) = 0;
  // Unknown ids are ignored.
  virtual void unregisterHotKey(std::uint32_t id) = 0;
};

}  // namespace brimvale::platform
