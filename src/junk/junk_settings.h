// The scrap board's settings, read from and written to the user-defaults
// store under their own keys, with the defaults and limits the board obeys.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/base/error.h"
#include "common/base/raw_names.h"
#include "junk/junk_ttl.h"
#include "platform/user_defaults.h"

namespace brimvale::junk {

inline constexpr std::int64_t kJunkDefaultMaxItems = 250;
inline constexpr std::int64_t kJunkMinItems = 50;
inline constexpr std::int64_t kJunkMaxItemsCap = 500;
inline constexpr std::int64_t kJunkDefaultMaxFiles = 25;
inline constexpr std::int64_t kJunkMaxFilesCap = 250;

// Which screen edge the curtain opens from; persisted as "top", "right".
enum class JunkCurtainEdge { kTop, kRight };

[[nodiscard]] std::optional<JunkCurtainEdge> junkCurtainEdgeFromRaw(std::string_view raw);

// The three hot-key actions: open the board, save the clipboard, new note.
enum class JunkHotKeyAction { kOpen, kCapture, kNewNote };

enum class JunkSettingType { kSwitch, kWholeNumber, kLifetime, kEdge, kText };

struct JunkSetting {
  std::string_view key;  // the user-defaults key, e.g. "JunkMaxItems"
  JunkSettingType type;
  std::string_view defaultValue;  // as shown; empty when there is none
  std::string meaning;
};

// Every setting in the order the settings list shows them.
[[nodiscard]] std::span<const JunkSetting> junkSettingsTable();
[[nodiscard]] const JunkSetting* findJunkSetting(std::string_view key);

// The effective item limit: `stored` clamped to 50..500; nothing stored
// (or a value of another type) means 250.
[[nodiscard]] std::int64_t effectiveJunkLimit(std::optional<std::int64_t> stored);
// The largest multi-file copy kept as one scrap: 25 when unset, at most 250,
// and never below 1.
[[nodiscard]] std::int64_t effectiveMaxFiles(std::optional<std::int64_t> stored);

// Typed access; every read goes to the store, so a change made by another
// process is seen at once.
class JunkSettings {
 public:
  explicit JunkSettings(platform::UserDefaults& defaults) : defaults_(defaults) {}

  [[nodiscard]] bool enabledLocally() const;
  [[nodiscard]] bool autoWatch() const;
  // An unknown raw value means the default, one day.
  [[nodiscard]] JunkTTL defaultTTL() const;
  [[nodiscard]] JunkCurtainEdge curtainEdge() const;
  [[nodiscard]] std::int64_t maxItems() const;
  [[nodiscard]] std::int64_t maxFilesPerScrap() const;
  [[nodiscard]] bool hotKeyEnabled(JunkHotKeyAction action) const;
  // The stored preset text; nothing when the user never chose one.
  [[nodiscard]] std::optional<std::string> hotKeyPreset(JunkHotKeyAction action) const;

  // What `setting` means, with the effective item limit where it counts
  // ("Keep up to 250 scraps — when full, the oldest drops off.").
  [[nodiscard]] std::string meaningOf(const JunkSetting& setting) const;
  // The value of `setting` as the settings list shows it ("on", "d1", "250").
  [[nodiscard]] std::string shown(const JunkSetting& setting) const;
  // Checks and stores a value typed by the user: on/off (also true/false,
  // yes/no, 1/0), a whole number, a lifetime such as "h6", "top" or "right".
  // Whole numbers are stored as given; readers clamp them.
  [[nodiscard]] Result<void> set(const JunkSetting& setting, std::string_view value);

 private:
  platform::UserDefaults& defaults_;
};

// The board's two help sentences. The macOS build keeps its wording, which
// names ⌘C, ⌘V and the curtain; Linux keyboards have Ctrl and there is no
// curtain, so the Linux build names Ctrl and the command that copies back.
struct JunkHelpTexts {
  std::string_view watching;
  std::string_view copyBack;
};
inline constexpr JunkHelpTexts kMacJunkHelp{
    "Every ⌘C is saved to Junk automatically. Passwords (from password managers) are never "
    "captured.",
    "Click a scrap in the curtain to copy it, then paste with ⌘V wherever you like."};
inline constexpr JunkHelpTexts kLinuxJunkHelp{
    "Every Ctrl+C is saved to Junk automatically. Passwords (from password managers) are never "
    "captured.",
    "Copy a scrap back with `brimvale junk copy ID`, then paste with Ctrl+V wherever you like."};
#if defined(__APPLE__)
inline constexpr const JunkHelpTexts& kJunkHelp = kMacJunkHelp;
#else
inline constexpr const JunkHelpTexts& kJunkHelp = kLinuxJunkHelp;
#endif

[[nodiscard]] std::string_view junkHotKeyEnabledKey(JunkHotKeyAction action);
[[nodiscard]] std::string_view junkHotKeyPresetKey(JunkHotKeyAction action);

}  // namespace brimvale::junk
