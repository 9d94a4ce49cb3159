#include "platform/macos/carbon_hot_keys.h"

#include <Carbon/Carbon.h>

#include <map>
#include <mutex>

#include "platform/macos/carbon_hot_key_codes.h"

namespace brimvale::platform {
namespace {

class CarbonHotKeys final : public HotKeys {
 public:
  explicit CarbonHotKeys(LogSink log) : log_(std::move(log)) {
    const EventTypeSpec pressed = {kEventClassKeyboard, kEventHotKeyPressed};
    InstallApplicationEventHandler(NewEventHandlerUPP(&CarbonHotKeys::onEvent), 1, &pressed, this,
                                   &handler_);
  }
  ~CarbonHotKeys() override {
    for (const auto& [id, key] : keys_) UnregisterEventHotKey(key.ref);
    if (handler_) RemoveEventHandler(handler_);
  }

  int registerHotKey(std::uint32_t id, const HotKeyCombo& combo,
                     std::function<void()> onPress) override {
    unregisterHotKey(id);
    const auto request = carbonHotKeyRequest(id, combo);
    OSStatus status = kCarbonParamErr;
    EventHotKeyRef ref = nullptr;
    if (request) {
      const EventHotKeyID hotKeyId = {request->signature, request->id};
      status = RegisterEventHotKey(request->keyCode, request->modifiers, hotKeyId,
                                   GetApplicationEventTarget(), 0, &ref);
    }
    if (status != noErr) {
      if (log_) log_(globalHotKeyFailure(static_cast<int>(status), hotKeyComboName(combo)));
      return static_cast<int>(status);
    }
    std::lock_guard lock(mutex_);
    keys_[id] = {ref, std::move(onPress)};
    return 0;
  }

  void unregisterHotKey(std::uint32_t id) override {
    std::lock_guard lock(mutex_);
    const auto it = keys_.find(id);
    if (it == keys_.end()) return;
    UnregisterEventHotKey(it->second.ref);
    keys_.erase(it);
  }

 private:
  struct Key {
    EventHotKeyRef ref = nullptr;
    std::function<void()> onPress;
  };

  static OSStatus onEvent(EventHandlerCallRef, EventRef event, void* self) {
    EventHotKeyID pressed{};
    if (GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr,
                          sizeof pressed, nullptr, &pressed) != noErr ||
        pressed.signature != kCarbonHotKeySignature)
      return eventNotHandledErr;
    auto* keys = static_cast<CarbonHotKeys*>(self);
    std::function<void()> callback;
    {
      std::lock_guard lock(keys->mutex_);
      const auto it = keys->keys_.find(pressed.id);
      if (it != keys->keys_.end()) callback = it->second.onPress;
    }
    if (callback) callback();
    return noErr;
  }

  LogSink log_;
  EventHandlerRef handler_ = nullptr;
  std::mutex mutex_;
  std::map<std::uint32_t, Key> keys_;
};

}  // namespace

std::unique_ptr<HotKeys> makeCarbonHotKeys(LogSink log) {
  return std::make_unique<CarbonHotKeys>(std::move(log));
}

}  // namespace brimvale::platform
