// A port opened to listen only, through the driver's own platform layer (termios or Win32,
// and the device-server ports): the line settings are set, the modem lines are left in the
// modes the port reports, and nothing is ever written or switched. On a network port nothing
// is sent but what its connection needs.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/platform.h"

namespace merixhost {

struct ListenSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    uint8_t parityCode = 2;   ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBitsCode = 0; ///< 0 one, 1 one and a half, 2 two
};

class LineListener {
public:
    LineListener() = default;
    ~LineListener();
    LineListener(const LineListener&) = delete;
    LineListener& operator=(const LineListener&) = delete;

    /// Opens `name` (as CreateFileA takes it) at `settings`, and throws away what the port
    /// held from before. False, with `error` saying what failed, when it cannot.
    bool Open(const std::string& name, const ListenSettings& settings, std::string* error);
    /// Waits up to `waitMs` for a byte, then takes what else is there: the count read into
    /// `buffer`, 0 when nothing came, -1 when the port failed (`error` says why).
    int Read(std::span<uint8_t> buffer, uint32_t waitMs, std::string* error);
    /// The framing, parity and overrun errors the port saw since the last call.
    merix::plat::LineErrors TakeErrors();

private:
    merix::plat::Handle handle_ = merix::plat::kInvalidHandle;
    uint32_t waitMs_ = 0;
};

} // namespace merixhost
