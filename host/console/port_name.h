// The driver takes port names of at most 11 characters and opens them as the system names
// its serial ports: on Linux a name without "/" is looked up under /dev and a name with "/"
// is opened as given; on Windows the name goes to CreateFileA ("COM3", "\\.\COM12").
// One implementation per operating system (port_name_posix.cpp, port_name_win32.cpp).
#pragma once

#include <string>

namespace merixhost {

/// A name for `device` that fits the driver. On Linux "/dev/ttyUSB0" becomes "ttyUSB0", and a
/// longer path gets a symlink /tmp/mxNNNN, which lives until the object is destroyed. On
/// Windows "COM10" and above become "\\.\COM10", the only form in which the system opens them.
class PortName {
public:
    PortName() = default;
    ~PortName();
    PortName(const PortName&) = delete;
    PortName& operator=(const PortName&) = delete;

    /// False with `error` set when no short name could be made.
    bool Make(const std::string& device, std::string* error);
    const std::string& Name() const { return name_; }
    /// The symlink made, empty when none was needed.
    const std::string& Link() const { return link_; }

private:
    std::string name_;
    std::string link_;
};

/// How ports are named on this system, for the help text.
std::string PortNameHelp();

} // namespace merixhost
