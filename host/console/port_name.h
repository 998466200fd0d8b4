// The driver takes port names of at most 11 characters: a name without "/" is looked up
// under /dev, a name with "/" is opened as given.
#pragma once

#include <string>

namespace merixhost {

/// A name for `device` that fits the driver. "/dev/ttyUSB0" becomes "ttyUSB0"; a longer
/// path gets a symlink /tmp/mxNNNN, which lives until the object is destroyed.
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

} // namespace merixhost
