// The simulator's line on a TCP port, as a device server in raw mode puts a serial port on the
// network: the bytes pass unchanged both ways, so a master that opens tcp://HOST:PORT talks to
// the stations with no other software in between.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

namespace h51sim {

/// Reads "tcp://HOST:PORT" (HOST a name, an IPv4 address or an IPv6 address in brackets) as
/// the driver reads its PORT value, so that every URL served is one the driver can open. Port 0,
/// which the driver refuses, is taken too: it asks the system for a free port.
bool ParseListenUrl(const std::string& url, std::string* host, uint16_t* port);

/// "tcp://HOST:PORT", with an IPv6 address in brackets.
std::string ListenUrl(const std::string& host, uint16_t port);

/// Relays between one TCP client at a time and a serial device, on a thread of its own. A new
/// client replaces the one before, which is closed: a master that lost its connection without
/// noticing is served again as soon as it connects anew. Bytes from the device while no client
/// is connected are dropped, so that a new client never reads a reply meant for the last one.
class TcpBridge {
public:
    TcpBridge() = default;
    ~TcpBridge() { Stop(); }
    TcpBridge(const TcpBridge&) = delete;
    TcpBridge& operator=(const TcpBridge&) = delete;

    /// Listens on `host`:`port` (0: a free port, see Port()) and opens `device` raw, e.g. the
    /// simulator's DeviceName(). False, with the reason, when either fails or already running.
    bool Start(const std::string& host, uint16_t port, const std::string& device,
               std::string* error);
    /// Closes the client, the listener and the device, and ends the thread. Safe to call more
    /// than once; Start may follow, on the same port too.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    /// The port listened on; after Stop, the last one.
    uint16_t Port() const { return port_; }

private:
    void Run();
    void CloseAll();

    int listener_ = -1;
    int device_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace h51sim
