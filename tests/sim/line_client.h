// The master's side of the line for tests that talk to the simulator with hand-built frames:
// opens the pseudo-terminal's slave, sends frames with their CRC and reads replies by length.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/reply.h"

namespace h51sim::test {

class LineClient {
public:
    explicit LineClient(const std::string& device) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~LineClient() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool Ok() const { return fd_ >= 0; }

    /// Sets the rate of this side of the pseudo-terminal, as a master opening the port does.
    bool SetSpeed(speed_t speed) {
        termios tio{};
        return tcgetattr(fd_, &tio) == 0 && cfsetspeed(&tio, speed) == 0 &&
               tcsetattr(fd_, TCSANOW, &tio) == 0;
    }

    /// Sends `frame` with its CRC appended.
    bool Send(std::vector<uint8_t> frame) {
        AppendCrc(frame);
        return write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    }

    /// Reads one reply, its length taken from its head as a master does: 5 bytes for an
    /// exception, 8 for a write echo, else 5 plus the byte count. Empty on a timeout.
    std::vector<uint8_t> ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<uint8_t> reply;
        size_t want = 3;
        while (reply.size() < want) {
            if (!ReadSome(reply, want - reply.size(), deadline)) {
                return {};
            }
            if (reply.size() >= 3) {
                const uint8_t function = reply[1];
                want = (function & 0x80) != 0           ? 5
                       : function == 5 || function == 6 ? 8
                                                        : 5u + reply[2];
            }
        }
        return reply;
    }

    std::vector<uint8_t> Transact(std::vector<uint8_t> frame) {
        return Send(std::move(frame)) ? ReadReply() : std::vector<uint8_t>{};
    }

    /// A request and its expected reply, both without CRC; the CRC is appended to both.
    static std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame) {
        AppendCrc(frame);
        return frame;
    }

private:
    bool ReadSome(std::vector<uint8_t>& into, size_t count,
                  std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            uint8_t buffer[300];
            const ssize_t n = read(fd_, buffer, std::min(count, sizeof buffer));
            if (n > 0) {
                into.insert(into.end(), buffer, buffer + n);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()));
        }
    }

    int fd_ = -1;
};

} // namespace h51sim::test
