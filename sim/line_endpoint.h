// The simulator's end of the line: the master side of a pseudo-terminal, or a real serial
// device when the simulator stands in for controllers on a wire.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "sim/line_timing.h"

namespace h51sim {

class LineEndpoint {
public:
    /// A new pseudo-terminal in raw mode at `baud`, so that a master that sets no rate of its
    /// own is on the line's. One descriptor of its slave side stays open for the endpoint's
    /// life, so that the master side never reads EIO (all slaves closed) while the driver
    /// under test closes and reopens the port.
    static std::unique_ptr<LineEndpoint> OpenPty(int baud, std::string* error);

    /// A serial device set to the line's baud rate, data bits, parity and stop bits.
    static std::unique_ptr<LineEndpoint> OpenDevice(const std::string& path, const LineConfig& line,
                                                    std::string* error);

    ~LineEndpoint();
    LineEndpoint(const LineEndpoint&) = delete;
    LineEndpoint& operator=(const LineEndpoint&) = delete;

    /// The descriptor to poll for input.
    int Fd() const { return fd_; }
    /// The device the master opens: the pty's slave name (e.g. /dev/pts/7) or the device path.
    const std::string& Name() const { return name_; }

    /// Reads what is there without waiting: bytes read, 0 when none, -1 on an error.
    long Read(uint8_t* buffer, size_t size);

    /// The rate the master last set on its side of a pseudo-terminal, which the pty keeps
    /// (its parity it does not); nullopt for a real device, whose UART does the judging.
    std::optional<uint32_t> MasterBaud() const;

    /// Writes all bytes, waiting up to `timeout` for room; the number written.
    size_t Write(const uint8_t* bytes, size_t size, std::chrono::milliseconds timeout);

private:
    LineEndpoint(int fd, int keepOpen, std::string name)
        : fd_(fd), keepOpen_(keepOpen), name_(std::move(name)) {}

    int fd_;
    int keepOpen_;
    std::string name_;
};

} // namespace h51sim
