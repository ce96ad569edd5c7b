#include "platform/power.h"

#include <filesystem>
#include <fstream>

namespace vt::platform {
namespace {

std::string first_line(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

PowerStatus power_status_from(const std::string& supply_folder) {
    PowerStatus status;
    bool mains_online = false, battery = false;
    int charge = 100;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(supply_folder, ec)) {
        const std::string type = first_line(entry.path() / "type");
        if (type == "Mains" || type == "USB") {
            mains_online = mains_online || first_line(entry.path() / "online") == "1";
        } else if (type == "Battery" && first_line(entry.path() / "present") != "0") {
            battery = true;
            try {
                charge = std::stoi(first_line(entry.path() / "capacity"));
            } catch (...) {
                charge = 100;
            }
        }
    }
    status.on_battery = battery && !mains_online;
    status.charge_percent = charge < 0 ? 0 : charge > 100 ? 100 : charge;
    return status;
}

PowerStatus power_status() {
    return power_status_from("/sys/class/power_supply");
}

} // namespace vt::platform
