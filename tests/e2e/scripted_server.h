// A TCP server on the loopback that the test scripts byte by byte, for the network ports' tests:
// it keeps what the client sends and sends what the test says, or misbehaves as told.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace merix::test {

using Bytes = std::vector<uint8_t>;

/// One client at a time on 127.0.0.1: keeps what it sends and sends what the test says.
class ScriptedServer {
public:
    /// `closeAtOnce`: every client is closed as soon as it is accepted.
    explicit ScriptedServer(bool closeAtOnce = false) : closeAtOnce_(closeAtOnce) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
        DropClient();
    }
    std::string Url(const char* scheme) const {
        return std::string(scheme) + "127.0.0.1:" + std::to_string(port_);
    }
    void Send(const Bytes& bytes) {
        WaitForClient();
        const std::lock_guard lock(mutex_);
        ASSERT_EQ(send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    /// What the client sent so far, once at least `n` bytes came (or 5 s passed).
    Bytes Received(size_t n) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            {
                const std::lock_guard lock(mutex_);
                if (received_.size() >= n || std::chrono::steady_clock::now() > until) {
                    return received_;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    void Forget() {
        const std::lock_guard lock(mutex_);
        received_.clear();
    }
    void DropClient() {
        const std::lock_guard lock(mutex_);
        if (client_ >= 0) {
            close(client_);
            client_ = -1;
        }
    }

private:
    void WaitForClient() {
        for (int i = 0; i < 2500; ++i) {
            {
                const std::lock_guard lock(mutex_);
                if (client_ >= 0) {
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    void Run() {
        while (!stop_) {
            int client = -1;
            {
                const std::lock_guard lock(mutex_);
                client = client_;
            }
            pollfd fds[2] = {{listener_, POLLIN, 0}, {client, POLLIN, 0}};
            if (poll(fds, client >= 0 ? 2 : 1, 10) <= 0) {
                continue;
            }
            const std::lock_guard lock(mutex_);
            if ((fds[0].revents & POLLIN) != 0) {
                if (client_ >= 0) {
                    close(client_);
                }
                client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                received_.clear();
                if (closeAtOnce_ && client_ >= 0) {
                    close(client_);
                    client_ = -1;
                }
            } else if (client_ == client && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
                uint8_t chunk[512];
                const ssize_t n = recv(client_, chunk, sizeof chunk, 0);
                if (n > 0) {
                    received_.insert(received_.end(), chunk, chunk + n);
                }
            }
        }
    }

    bool closeAtOnce_;
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Bytes received_;
    std::thread thread_;
};

} // namespace merix::test
