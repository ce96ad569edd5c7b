#pragma once
// Power status from /sys/class/power_supply. A machine without a battery runs on mains.
// Thread: any.

#include <string>

namespace vt::platform {

struct PowerStatus {
    bool on_battery = false; // no mains power online and a battery present
    int charge_percent = 100;
};

[[nodiscard]] PowerStatus power_status();
// The same from another root folder holding power_supply entries (for tests).
[[nodiscard]] PowerStatus power_status_from(const std::string& supply_folder);

} // namespace vt::platform
