#include "junk/junk_hot_keys.h"

#include <gtest/gtest.h>

#include "platform/macos/carbon_hot_key_codes.h"
#include "platform/testing/fake_clipboard.h"
#include "platform/testing/memory_user_defaults.h"

namespace brimvale::junk {
namespace {

using platform::testing::FakeHotKeys;
using platform::testing::MemoryDefaults;

TEST(JunkHotKeys, FollowsTheSettingsAndLogsATakenKey) {
  FakeHotKeys platform;
  MemoryDefaults defaults;
  std::vector<std::string> log;
  int captures = 0;
  JunkHotKeys keys(platform, defaults, [&](const std::string& line) { log.push_back(line); },
                   {{JunkHotKeyAction::kCapture, [&] { ++captures; }}});
  platform.taken = {"j"};  // another program holds the open key

  keys.apply();
  EXPECT_FALSE(keys.isRegistered(JunkHotKeyAction::kOpen));
  EXPECT_TRUE(keys.isRegistered(JunkHotKeyAction::kCapture));
  EXPECT_TRUE(keys.isRegistered(JunkHotKeyAction::kNewNote));
  ASSERT_EQ(log, std::vector<std::string>{
                     "JunkHotKeys: RegisterEventHotKey failed (10) for Open the Rade Diriv id=1"});
  platform.held.at(2).onPress();
  EXPECT_EQ(captures, 1);

  // Applying again neither re-registers nor logs the same failure again.
  const int before = platform.registrations;
  keys.apply();
  EXPECT_EQ(platform.registrations, before);
  EXPECT_EQ(log.size(), 1u);

  // A new preset is registered again; a disabled action is released; an
  // unknown preset name falls back to the default.
  ASSERT_TRUE(defaults.setString("JunkOpenHotKeyPreset", "commandShiftV"));
  ASSERT_TRUE(defaults.setBool("JunkNewNoteHotKeyEnabled", false));
  ASSERT_TRUE(defaults.setString("JunkCaptureHotKeyPreset", "bogus"));
  keys.apply();
  EXPECT_EQ(platform.held.at(1).combo, *hotKeyPresetCombo("commandShiftV"));
  EXPECT_EQ(platform.held.at(2).combo, *hotKeyPresetCombo("controlOptionV"));
  EXPECT_FALSE(platform.held.contains(3));

  keys.releaseAll();
  EXPECT_TRUE(platform.held.empty());
}

TEST(JunkHotKeys, EveryPresetHasACarbonKeyCode) {
  for (const auto& preset : hotKeyPresets()) {
    SCOPED_TRACE(preset.name);
    EXPECT_TRUE(platform::carbonHotKeyRequest(1, preset.combo));
  }
}

}  // namespace
}  // namespace brimvale::junk
