// The port merixhost hands the driver. The host's port name holds at most 11 characters; a
// device that the system names so goes there as it is. Anything else (a lasting path such as
// /dev/serial/by-id/..., or a device server's tcp://HOST:PORT or rfc2217://HOST:PORT) goes to
// the driver as PORT in its initialisation file, with a stand-in host name beside it.
// port_name.cpp decides; port_name_posix.cpp and port_name_win32.cpp know their system's names.
#pragma once

#include <string>

namespace merixhost {

class PortName {
public:
    /// Takes `device` as the user gave it.
    explicit PortName(const std::string& device);

    /// The host's port name for ColdStart.
    const std::string& Name() const { return name_; }
    /// The PORT line's value, empty when the host's name says it all.
    const std::string& PortLine() const { return portLine_; }
    /// The port as the user knows it, for what merixhost prints.
    const std::string& Shown() const { return portLine_.empty() ? name_ : portLine_; }

private:
    std::string name_;
    std::string portLine_;
};

/// How this system names `device` in CreateFileA's terms: on Linux "/dev/ttyUSB0" becomes
/// "ttyUSB0" (the driver looks a name without "/" up under /dev); on Windows "COM10" and above
/// become "\\.\COM10", the only form in which the system opens them.
std::string SystemPortName(const std::string& device);

/// How ports are named on this system, for the help text.
std::string PortNameHelp();

} // namespace merixhost
