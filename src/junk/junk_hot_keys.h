// The board's three global hot keys (open the board, save the clipboard, new
// note): which are on, which preset each uses, registered through the
// platform; a key another program holds is logged and left unregistered.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "junk/junk_settings.h"
#include "platform/hot_keys.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"

namespace brimvale::junk {

struct JunkHotKeyInfo {
  JunkHotKeyAction action;
  std::uint32_t id;  // the registration id, fixed per action
  std::string_view label;
  std::string_view defaultPreset;
};

// One offered key combination under its persisted name.
struct HotKeyPreset {
  std::string_view name;  // e.g. "controlOptionJ"
  platform::HotKeyCombo combo;
};

[[nodiscard]] std::optional<platform::HotKeyCombo> hotKeyPresetCombo(std::string_view name);

class JunkHotKeys {
 public:
  using Handlers = std::map<JunkHotKeyAction, std::function<void()>>;
  // `hotKeys`, `defaults` and `log` must outlive this. Handlers run on the
  // platform's hot-key thread; the caller posts them where they belong.
  JunkHotKeys(platform::HotKeys& hotKeys, platform::UserDefaults& defaults, platform::LogSink log,
              Handlers handlers);
  ~JunkHotKeys();
  JunkHotKeys(const JunkHotKeys&) = delete;
  JunkHotKeys& operator=(const JunkHotKeys&) = delete;

  // Brings the registrations in line with the settings: enabled actions get
  // their preset (an unknown preset name means the default), disabled ones
  // are released, and a changed preset is registered again. A failure is
  // logged once per combination until the settings change.
  void apply();
  // Releases every registered key.
  void releaseAll();

 private:
  platform::HotKeys& hotKeys_;
  platform::UserDefaults& defaults_;
  platform::LogSink log_;
  Handlers handlers_;
  // What each action is registered with, or last failed with.
  std::map<JunkHotKeyAction, platform::HotKeyCombo> registered_;
  std::map<JunkHotKeyAction, platform::HotKeyCombo> failed_;
};

}  // namespace brimvale::junk
