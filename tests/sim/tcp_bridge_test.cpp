// The simulator's line on a TCP port, as a master behind a device server sees it: it reconnects
// while its old connection lingers, and finds the server again after a restart.
#include "sim/tcp_bridge.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "line_client.h"
#include "sim/simulator.h"

namespace h51sim {
namespace {

using Bytes = std::vector<uint8_t>;
using test::LineClient;

class TcpClient {
public:
    explicit TcpClient(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    }
    ~TcpClient() { close(fd_); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    /// Sends `request` and reads up to `size` bytes of reply: fewer when the connection ends or
    /// nothing comes for 5 s.
    Bytes Transact(const Bytes& request, size_t size) {
        if (!connected_ || send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
                               static_cast<ssize_t>(request.size())) {
            return {};
        }
        Bytes reply;
        uint8_t buffer[300];
        while (reply.size() < size) {
            pollfd p{fd_, POLLIN, 0};
            const ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd_, buffer, sizeof buffer, 0) : 0;
            if (n <= 0) {
                break;
            }
            reply.insert(reply.end(), buffer, buffer + n);
        }
        return reply;
    }

    /// The server closed the connection within 5 s.
    bool Ended() {
        pollfd p{fd_, POLLIN, 0};
        uint8_t byte = 0;
        return poll(&p, 1, 5000) == 1 && recv(fd_, &byte, 1, 0) == 0;
    }

private:
    int fd_;
    bool connected_ = false;
};

TEST(TcpBridge, ServesEachNewClientAndServesAgainAfterARestartOnTheSamePort) {
    LineConfig line;
    line.baud = 115200;
    Simulator sim(line);
    StationConfig station;
    station.address = 1;
    ASSERT_TRUE(sim.AddStation(station));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    ASSERT_TRUE(sim.SetHoldingRegister(1, 0, 0x1234));
    TcpBridge bridge;
    ASSERT_TRUE(bridge.Start("127.0.0.1", 0, sim.DeviceName(), &error)) << error;
    const Bytes request = LineClient::WithCrc({0x01,         // station
                                               0x03,         // read holding registers
                                               0x00, 0x00,   // address 0
                                               0x00, 0x01}); // 1 register
    const Bytes reply = LineClient::WithCrc({0x01, 0x03,
                                             0x02,         // byte count
                                             0x12, 0x34}); // register 0

    TcpClient first(bridge.Port());
    EXPECT_EQ(first.Transact(request, reply.size()), reply);
    // A master that reconnects without closing its old connection is served at once.
    TcpClient second(bridge.Port());
    EXPECT_EQ(second.Transact(request, reply.size()), reply);
    EXPECT_TRUE(first.Ended());

    // Stopped with a client connected, the port lingers in TIME_WAIT on the server's side.
    const uint16_t port = bridge.Port();
    bridge.Stop();
    ASSERT_TRUE(bridge.Start("127.0.0.1", port, sim.DeviceName(), &error)) << error;
    TcpClient third(port);
    EXPECT_EQ(third.Transact(request, reply.size()), reply);
}

} // namespace
} // namespace h51sim
