#include "platform/linux/power_supply.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/temp_folder.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;

// Each case lists its supply files as "supply/file=content" joined by ';'.
TEST(PowerSupply, ReadsBatteriesAndExternalSupplies) {
  struct Case {
    const char* name;
    std::string files;
    bool onBattery;
    int percent;
  } cases[] = {
      {"laptop unplugged",
       "AC/type=Mains;AC/online=0;BAT0/type=Battery;BAT0/status=Discharging;BAT0/capacity=42", true,
       42},
      {"laptop charging",
       "AC/type=Mains;AC/online=1;BAT0/type=Battery;BAT0/status=Charging;BAT0/capacity=80", false,
       80},
      {"discharging while a USB-C charger is online",
       "ucsi-source-psy-USBC000:001/type=USB;ucsi-source-psy-USBC000:001/online=1;"
       "BAT0/type=Battery;BAT0/status=Discharging;BAT0/capacity=55",
       false, 55},
      {"second battery discharging, first one reports the charge",
       "BAT0/type=Battery;BAT0/status=Not charging;BAT0/capacity=90;"
       "BAT1/type=Battery;BAT1/status=Discharging;BAT1/capacity=30",
       true, 90},
      {"wireless mouse battery on a desktop",
       "hidpp_battery_0/type=Battery;hidpp_battery_0/scope=Device;"
       "hidpp_battery_0/status=Discharging;hidpp_battery_0/capacity=5",
       false, 100},
      {"battery without a capacity file", "BAT0/type=Battery;BAT0/status=Discharging", true, 100},
      {"desktop without supplies", "", false, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder root;
    std::filesystem::create_directories(root.path() / "power_supply");
    std::istringstream files(c.files);
    for (std::string entry; std::getline(files, entry, ';');) {
      const auto eq = entry.find('=');
      root.file("power_supply/" + entry.substr(0, eq), entry.substr(eq + 1) + "\n");
    }
    PowerState state = readPowerSupplies(root.path() / "power_supply");
    EXPECT_EQ(state.onBattery, c.onBattery);
    EXPECT_EQ(state.batteryPercent, c.percent);
  }
}

TEST(PowerSupply, MissingFolderMeansMainsPower) {
  PowerState state = readPowerSupplies("/nonexistent/power_supply");
  EXPECT_FALSE(state.onBattery);
  EXPECT_EQ(state.batteryPercent, 100);
}

}  // namespace
}  // namespace brimvale::platform
