#include "host/console/port_name.h"

namespace merixhost {

std::string SystemPortName(const std::string& device) {
    const std::string dev = "/dev/";
    if (device.starts_with(dev) && device.find('/', dev.size()) == std::string::npos) {
        return device.substr(dev.size()); // the driver puts /dev/ back in front
    }
    return device;
}

std::string PortNameHelp() {
    return "ttyUSB0, /dev/ttyS1, a path of any length (/dev/serial/by-id/...), or a device "
           "server's tcp://HOST:PORT or rfc2217://HOST:PORT";
}

} // namespace merixhost
