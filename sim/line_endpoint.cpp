#include "sim/line_endpoint.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix_termios.h"

namespace h51sim {

namespace {

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

std::unique_ptr<LineEndpoint> LineEndpoint::OpenPty(int baud, std::string* error) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = ErrnoText("openpty");
        return nullptr;
    }
    // Raw: no echo, no line editing, no CR/LF translation; binary frames pass untouched.
    termios tio{};
    if (tcgetattr(slave, &tio) != 0) {
        *error = ErrnoText("tcgetattr");
        close(master);
        close(slave);
        return nullptr;
    }
    cfmakeraw(&tio);
    // A rate that termios does not name leaves the pty's own; such a line is not judged.
    merix::plat::SetTermiosSpeed(static_cast<uint32_t>(baud), &tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0 || !SetNonBlocking(master)) {
        *error = ErrnoText("setting up the pseudo-terminal");
        close(master);
        close(slave);
        return nullptr;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    return std::unique_ptr<LineEndpoint>(new LineEndpoint(master, slave, name));
}

std::unique_ptr<LineEndpoint> LineEndpoint::OpenDevice(const std::string& path,
                                                       const LineConfig& line, std::string* error) {
    // The rate is checked before the device is touched; the terminal gets it below.
    termios rated{};
    if (!merix::plat::SetTermiosSpeed(static_cast<uint32_t>(line.baud), &rated)) {
        *error = "baud rate " + std::to_string(line.baud) + " is not supported by termios";
        return nullptr;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText(path.c_str());
        return nullptr;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = ErrnoText("tcgetattr");
        close(fd);
        return nullptr;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[line.dataBits - 5] | CLOCAL | CREAD;
    if (line.parity != Parity::None) {
        tio.c_cflag |= PARENB;
        // Frames with parity errors must not reach the framer as data.
        tio.c_iflag |= INPCK;
    }
    if (line.parity == Parity::Odd) {
        tio.c_cflag |= PARODD;
    }
    if (line.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    merix::plat::SetTermiosSpeed(static_cast<uint32_t>(line.baud), &tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = ErrnoText("tcsetattr");
        close(fd);
        return nullptr;
    }
    tcflush(fd, TCIOFLUSH);
    return std::unique_ptr<LineEndpoint>(new LineEndpoint(fd, -1, path));
}

LineEndpoint::~LineEndpoint() {
    if (fd_ >= 0) {
        close(fd_);
    }
    if (keepOpen_ >= 0) {
        close(keepOpen_);
    }
}

std::optional<uint32_t> LineEndpoint::MasterBaud() const {
    termios tio{};
    if (keepOpen_ < 0 || tcgetattr(keepOpen_, &tio) != 0) {
        return std::nullopt;
    }
    return merix::plat::DcbFromTermios(tio).baudRate;
}

long LineEndpoint::Read(uint8_t* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(fd_, buffer, size);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

size_t LineEndpoint::Write(const uint8_t* bytes, size_t size, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd_, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        // The other side does not read; wait for room, but not for ever.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left.count()));
    }
    return done;
}

} // namespace h51sim
