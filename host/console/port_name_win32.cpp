#include "host/console/port_name.h"

#include <cctype>

namespace merixhost {
namespace {

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

std::string SystemPortName(const std::string& device) {
    return HighComPort(device) ? "\\\\.\\" + device : device;
}

std::string PortNameHelp() {
    return "COM3, COM12 (opened as \\\\.\\COM12), another device name, or a device server's "
           "tcp://HOST:PORT or rfc2217://HOST:PORT";
}

} // namespace merixhost
