#include "host/console/port_name.h"

#include <cctype>

#include <fmt/format.h>

#include "merix/vpi.h"

namespace merixhost {
namespace {

constexpr size_t kMaxName = merix::kPortNameSize - 1;

/// "COM10", "com12": a port that CreateFileA opens only under the device namespace.
bool HighComPort(const std::string& device) {
    if (device.size() < 5) {
        return false;
    }
    for (size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(device[i])) != "COM"[i]) {
            return false;
        }
    }
    for (size_t i = 3; i < device.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(device[i])) == 0) {
            return false;
        }
    }
    return device[3] != '0';
}

} // namespace

PortName::~PortName() = default;

bool PortName::Make(const std::string& device, std::string* error) {
    const std::string name = HighComPort(device) ? "\\\\.\\" + device : device;
    if (name.size() > kMaxName) {
        if (error != nullptr) {
            *error = fmt::format("port name '{}' is longer than the driver's {} characters", name,
                                 kMaxName);
        }
        return false;
    }
    name_ = name;
    return true;
}

std::string PortNameHelp() {
    return "COM3, COM12 (opened as \\\\.\\COM12), or another device name of at most 11 "
           "characters";
}

} // namespace merixhost
