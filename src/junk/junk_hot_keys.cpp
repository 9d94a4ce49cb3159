#include "junk/junk_hot_keys.h"

#include <algorithm>

namespace brimvale::junk {
namespace {

using platform::kHotKeyCommand;
using platform::kHotKeyControl;
using platform::kHotKeyOption;
using platform::kHotKeyShift;

// Control+Option combinations are rarely taken by desktops or editors.
constexpr std::array<JunkHotKeyInfo, 3> kTable = {{
    {JunkHotKeyAction::kOpen, 1, "Open the Rade Diriv", "controlOptionJ"},
    {JunkHotKeyAction::kCapture, 2, "Save clipboard to Junk", "controlOptionV"},
    {JunkHotKeyAction::kNewNote, 3, "New note", "controlOptionN"},
}};

const std::array<HotKeyPreset, 9> kPresets = {{
    {"controlOptionJ", {"j", kHotKeyControl | kHotKeyOption}},
    {"controlOptionV", {"v", kHotKeyControl | kHotKeyOption}},
    {"controlOptionN", {"n", kHotKeyControl | kHotKeyOption}},
    {"controlOptionSpace", {"space", kHotKeyControl | kHotKeyOption}},
    {"commandShiftJ", {"j", kHotKeyCommand | kHotKeyShift}},
    {"commandShiftV", {"v", kHotKeyCommand | kHotKeyShift}},
    {"commandShiftN", {"n", kHotKeyCommand | kHotKeyShift}},
    {"controlShiftJ", {"j", kHotKeyControl | kHotKeyShift}},
    {"controlShiftN", {"n", kHotKeyControl | kHotKeyShift}},
}};

}  // namespace

std::optional<platform::HotKeyCombo> hotKeyPresetCombo(std::string_view name) {
  const auto it = std::find_if(kPresets.begin(), kPresets.end(),
                               [name](const HotKeyPreset& p) { return p.name == name; });
  if (it == kPresets.end()) return std::nullopt;
  return it->combo;
}

JunkHotKeys::JunkHotKeys(platform::HotKeys& hotKeys, platform::UserDefaults& defaults,
                         platform::LogSink log, Handlers handlers)
    : hotKeys_(hotKeys),
      defaults_(defaults),
      log_(std::move(log)),
      handlers_(std::move(handlers)) {}

JunkHotKeys::~JunkHotKeys() { releaseAll(); }

void JunkHotKeys::apply() {
  const JunkSettings settings(defaults_);
  for (const auto& info : kTable) {
    const bool enabled = settings.hotKeyEnabled(info.action);
    const auto stored = settings.hotKeyPreset(info.action);
    auto combo = stored ? hotKeyPresetCombo(*stored) : std::nullopt;
    if (!combo) combo = hotKeyPresetCombo(info.defaultPreset);
    const auto current = registered_.find(info.action);
    if (!enabled) {
      if (current != registered_.end()) hotKeys_.unregisterHotKey(info.id);
      registered_.erase(info.action);
      failed_.erase(info.action);
      continue;
    }
    if (current != registered_.end() && current->second == *combo) continue;
    if (const auto f = failed_.find(info.action); f != failed_.end() && f->second == *combo)
      continue;
    const auto handler = handlers_.find(info.action);
    const int status = hotKeys_.registerHotKey(
        info.id, *combo, handler == handlers_.end() ? std::function<void()>() : handler->second);
    if (status != 0) {
      log_("JunkHotKeys: RegisterEventHotKey failed (" + std::to_string(status) + ") for " +
           std::string(info.label) + " id=" + std::to_string(info.id));
      registered_.erase(info.action);
      failed_[info.action] = *combo;
      continue;
    }
    registered_[info.action] = *combo;
    failed_.erase(info.action);
  }
}

void JunkHotKeys::releaseAll() {
  for (const auto& info : kTable)
    if (registered_.contains(info.action)) hotKeys_.unregisterHotKey(info.id);
  registered_.clear();
  failed_.clear();
}

}  // namespace brimvale::junk
