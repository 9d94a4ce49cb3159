// Battery state from the kernel's power-supply class folder
// (/sys/class/power_supply/{name}/type, status, online, capacity, scope).
#pragma once

#include <filesystem>

#include "platform/platform.h"

namespace brimvale::platform {

// The machine runs on battery when a system battery reports "Discharging"
// and no mains or USB supply is online. The percent is the first system
// battery's (by folder name) capacity. Batteries of devices (scope "Device",
// such as a wireless mouse) are ignored. A missing or unreadable folder gives
// "not on battery, 100 %".
[[nodiscard]] PowerState readPowerSupplies(const std::filesystem::path& root);

}  // namespace brimvale::platform
