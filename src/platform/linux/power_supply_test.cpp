#include "platform/linux/power_supply.h"

#include <gtest/gtest.h>

#include <map>

#include "testing/temp_folder.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;

TEST(PowerSupply, ReadsBatteriesAndExternalSupplies) {
  using Files = std::map<std::string, std::string>;
  struct Case {
    const char* name;
    Files files;
    bool onBattery;
    int percent;
  } cases[] = {
      {"laptop unplugged",
       {{"AC/type", "Mains\n"},
        {"AC/online", "0\n"},
        {"BAT0/type", "Battery\n"},
        {"BAT0/status", "Discharging\n"},
        {"BAT0/capacity", "42\n"}},
       true,
       42},
      {"laptop charging",
       {{"AC/type", "Mains\n"},
        {"AC/online", "1\n"},
        {"BAT0/type", "Battery\n"},
        {"BAT0/status", "Charging\n"},
        {"BAT0/capacity", "80\n"}},
       false,
       80},
      {"discharging while a USB-C charger is online",
       {{"ucsi-source-psy-USBC000:001/type", "USB\n"},
        {"ucsi-source-psy-USBC000:001/online", "1\n"},
        {"BAT0/type", "Battery\n"},
        {"BAT0/status", "Discharging\n"},
        {"BAT0/capacity", "55\n"}},
       false,
       55},
      {"second battery discharging, first one reports the charge",
       {{"BAT0/type", "Battery\n"},
        {"BAT0/status", "Not charging\n"},
        {"BAT0/capacity", "90\n"},
        {"BAT1/type", "Battery\n"},
        {"BAT1/status", "Discharging\n"},
        {"BAT1/capacity", "30\n"}},
       true,
       90},
      {"wireless mouse battery on a desktop",
       {{"hidpp_battery_0/type", "Battery\n"},
        {"hidpp_battery_0/scope", "Device\n"},
        {"hidpp_battery_0/status", "Discharging\n"},
        {"hidpp_battery_0/capacity", "5\n"}},
       false,
       100},
      {"battery without a capacity file",
       {{"BAT0/type", "Battery\n"}, {"BAT0/status", "Discharging\n"}},
       true,
       100},
      {"desktop without supplies", {}, false, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder root;
    std::filesystem::create_directories(root.path() / "power_supply");
    for (const auto& [file, content] : c.files) root.file("power_supply/" + file, content);
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
