// Shared fixture of the unit tests: a fresh library, fake platform and stand-in host.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "platform/fake_platform.h"
#include "serial/crc16.h"

namespace merix::test {

using Frame = std::vector<uint8_t>;

/// The frame with its CRC appended, low byte first.
inline Frame WithCrc(Frame frame) {
    const uint16_t crc = Crc16(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

/// Queues each reply in turn on the fake port; an empty frame stands for an attempt that hears
/// nothing.
inline void QueueReplies(const std::vector<Frame>& replies) {
    for (const Frame& reply : replies) {
        if (reply.empty()) {
            fake::QueueSilence();
        } else {
            fake::QueueReply(reply);
        }
    }
}

/// A gate in the access layout with its own text and value buffer.
struct AccessGate {
    char text[64] = {};
    uint8_t value[512] = {};
    GateAccessRecord rec{};

    AccessGate(const char* address, int32_t station, int32_t function, int32_t addr,
               int32_t gateType = 0, int32_t count = 1) {
        std::snprintf(text, sizeof text, "%s", address);
        rec.addressString = text;
        rec.station = station;
        rec.function = function;
        rec.address = addr;
        rec.gateType = gateType;
        rec.count = count;
        rec.hostWord = 36;
        rec.valuePtr = value;
        std::memset(value, 0xEE, sizeof value);
    }
    int16_t Word() const {
        int16_t w = 0;
        std::memcpy(&w, value + 2, sizeof w);
        return w;
    }
    void SetWord(int16_t w) { std::memcpy(value + 2, &w, sizeof w); }
};

/// A host-allocated context: filled with a marker byte, as host memory may hold anything.
struct HostContext {
    std::unique_ptr<DriverContext> ctx{new DriverContext};
    HostContext() { std::memset(ctx.get(), 0xA5, sizeof(DriverContext)); }
    DriverContext& operator*() { return *ctx; }
    DriverContext* operator->() { return ctx.get(); }
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLibraryStateForTests();
        fake::Reset();
        qorlib::Reset();
    }

    int32_t Call(uint32_t command, void* params = nullptr, uint32_t driverNumber = 1) {
        CallBlock cb{host.ctx.get(), command, driverNumber, 0, params};
        return VpiMain(&cb);
    }

    /// ColdStart with the given parameters; the port "COM1" is opened when comOn is set.
    int32_t ColdStart(uint16_t baud = 9600, int16_t dataBits = 8, int16_t stopBits = 0,
                      int16_t parity = 2, uint32_t comOn = 1, const char* port = "COM1",
                      uint32_t replyTimeout = 20) {
        StartParams sp{};
        std::snprintf(sp.portName, sizeof sp.portName, "%s", port);
        sp.comOn = comOn;
        sp.replyTimeout = replyTimeout;
        sp.baud = baud;
        sp.dataBits = dataBits;
        sp.stopBits = stopBits;
        sp.parity = parity;
        return Call(kColdStart, &sp);
    }

    static std::vector<std::string> LogTexts() {
        std::vector<std::string> out;
        for (const auto& line : qorlib::Log()) {
            out.push_back(line.text);
        }
        return out;
    }

    /// The run-time error codes logged, in order.
    static std::vector<int> RunTimeErrors() {
        std::vector<int> out;
        for (const auto& line : qorlib::Log()) {
            int code = 0;
            if (std::sscanf(line.text.c_str(), "MERIX> Run Time Error %d", &code) == 1) {
                out.push_back(code);
            }
        }
        return out;
    }

    HostContext host;
};

/// A DriverTest run in a fresh directory of its own, where the driver finds its
/// initialisation file; the directory is removed afterwards.
class InDirTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        previousDir_ = std::filesystem::current_path();
        char pattern[] = "/tmp/merix_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        // Windows removes no file that is open: the traces close theirs first.
        ResetLibraryStateForTests();
        std::filesystem::current_path(previousDir_);
        std::filesystem::remove_all(dir_);
    }

    static void WriteFile(const std::string& name, const std::string& content) {
        std::ofstream(name, std::ios::binary) << content;
    }

    std::filesystem::path previousDir_;
    std::filesystem::path dir_;
};

} // namespace merix::test
