// The build without the demonstration plant: its line simulator needs pseudo-terminals,
// which Windows does not have.
#include "host/console/demo.h"

namespace merixhost {

std::string NoDemoReason() {
    return "a port is required on Windows, e.g. merixhost --port COM3 --gates plant.gates "
           "(the demonstration plant without --port runs on Linux only)";
}

std::string DemoGateList() {
    return {};
}

std::unique_ptr<Demo> StartDemo(const Options&, std::string* error) {
    *error = NoDemoReason();
    return nullptr;
}

} // namespace merixhost
