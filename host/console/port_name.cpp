#include "host/console/port_name.h"

#include "merix/vpi.h"
#include "platform/net_address.h"

namespace merixhost {

namespace {
/// The host's name when PORT names the port: what the driver logs beside PORT.
constexpr const char* kStandIn = "merixhost";
} // namespace

PortName::PortName(const std::string& device) {
    const std::string name = SystemPortName(device);
    if (merix::plat::KindOfName(device.c_str()) == merix::plat::PortKind::kDevice &&
        name.size() < merix::kPortNameSize) {
        name_ = name;
        return;
    }
    name_ = kStandIn;
    portLine_ = device;
}

} // namespace merixhost
