// A pseudo-terminal pair for tests: the driver opens the slave by name, the test plays the
// device on the master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace merix::test {

class PtyPair {
public:
    PtyPair() {
        char name[128] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            name_ = name;
            termios tio{};
            tcgetattr(slave_, &tio);
            cfmakeraw(&tio);
            tcsetattr(slave_, TCSANOW, &tio);
        }
    }
    ~PtyPair() {
        if (master_ >= 0) {
            close(master_);
        }
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& name() const { return name_; }

    void Write(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

    /// Reads until `count` bytes arrived or the (generous) timeout ran out.
    std::vector<uint8_t> Read(size_t count, int timeoutMs = 5000) const {
        std::vector<uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                break;
            }
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left)) <= 0) {
                break;
            }
            uint8_t buf[512];
            const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1; // kept open so the master never sees a hang-up between opens
    std::string name_;
};

} // namespace merix::test
