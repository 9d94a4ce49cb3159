// Tests only: a clipboard held in memory, with a counter of the reads that
// went past the type list, and hot keys whose taken combinations fail.
#pragma once

#include <map>
#include <set>

#include "platform/clipboard.h"
#include "platform/hot_keys.h"

namespace brimvale::platform::testing {

class FakeClipboard : public Clipboard {
 public:
  // Replaces the offer as another program would, announcing it when asked to.
  void offer(std::vector<std::string> types, std::optional<std::string> text,
             std::vector<std::string> files = {}, std::vector<std::uint8_t> png = {}) {
    types_ = std::move(types);
    text_ = std::move(text);
    files_ = std::move(files);
    png_ = std::move(png);
    ++count_;
    if (onChange_) onChange_();
  }

  std::int64_t changeCount() override { return count_; }
  std::optional<std::vector<std::string>> types() override {
    if (typesUnreadable) return std::nullopt;
    return types_;
  }
  std::optional<std::string> text() override {
    ++contentReads;
    return text_;
  }
  ClipboardRichText richText(const std::vector<std::string>&) override {
    ++contentReads;
    return rich;
  }
  std::vector<std::string> filePaths() override {
    ++contentReads;
    return files_;
  }
  std::optional<std::vector<std::uint8_t>> image(const std::vector<std::string>&) override {
    ++contentReads;
    if (png_.empty()) return std::nullopt;
    return png_;
  }
  std::optional<std::int64_t> write(const ClipboardOffer& offer) override {
    types_ = {"text/plain"};
    text_ = offer.text;
    rich = offer.rich;
    files_ = offer.filePaths;
    png_ = offer.png;
    return ++count_;
  }
  bool setOnChange(std::function<void()> onChange) override {
    if (!notifies) return false;
    onChange_ = std::move(onChange);
    return true;
  }

  ClipboardRichText rich;        // what the current offer holds besides its text
  bool typesUnreadable = false;  // the owner does not tell its types
  bool notifies = true;
  int contentReads = 0;

 private:
  std::int64_t count_ = 0;
  std::vector<std::string> types_;
  std::optional<std::string> text_;
  std::vector<std::string> files_;
  std::vector<std::uint8_t> png_;
  std::function<void()> onChange_;
};

class FakeHotKeys : public HotKeys {
 public:
  int registerHotKey(std::uint32_t id, const HotKeyCombo& combo,
                     std::function<void()> onPress) override {
    ++registrations;
    if (taken.contains(combo.key)) return 10;
    held[id] = {combo, std::move(onPress)};
    return 0;
  }
  void unregisterHotKey(std::uint32_t id) override { held.erase(id); }

  struct Held {
    HotKeyCombo combo;
    std::function<void()> onPress;
  };
  std::set<std::string> taken;  // keys another program holds
  std::map<std::uint32_t, Held> held;
  int registrations = 0;
};

}  // namespace brimvale::platform::testing
