#include "host/console/port_name.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "merix/vpi.h"

namespace merixhost {

namespace {
constexpr size_t kMaxName = merix::kPortNameSize - 1;
}

PortName::~PortName() {
    if (!link_.empty()) {
        unlink(link_.c_str());
    }
}

bool PortName::Make(const std::string& device, std::string* error) {
    if (device.size() <= kMaxName) {
        name_ = device;
        return true;
    }
    const std::string dev = "/dev/";
    if (device.starts_with(dev) && device.find('/', dev.size()) == std::string::npos &&
        device.size() - dev.size() <= kMaxName) {
        name_ = device.substr(dev.size()); // the driver puts /dev/ back in front
        return true;
    }
    // symlink() refuses an existing name, so two hosts never share a link.
    const unsigned start = static_cast<unsigned>(getpid()) % 10000;
    for (unsigned i = 0; i < 100; ++i) {
        const std::string link = fmt::format("/tmp/mx{}", (start + i) % 10000);
        if (symlink(device.c_str(), link.c_str()) == 0) {
            link_ = link;
            name_ = link;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    if (error != nullptr) {
        *error = fmt::format("port name '{}' is longer than {} characters and no symlink "
                             "/tmp/mxNNNN could be made ({}); make a short one yourself",
                             device, kMaxName, std::strerror(errno));
    }
    return false;
}

std::string PortNameHelp() {
    return "ttyUSB0, /dev/ttyS1, a path of at most 11 characters (longer ones get a short "
           "symlink)";
}

} // namespace merixhost
