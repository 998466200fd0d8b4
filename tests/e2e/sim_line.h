// Fixture: the driver in-process on the POSIX platform, the simulator on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "sim/simulator.h"

namespace merix::test {

using namespace std::chrono_literals;

/// A gate in the access layout with its own text and value buffer.
struct Gate {
    char text[32] = {};
    uint8_t value[512] = {};
    GateAccessRecord rec{};

    Gate(const char* address, int32_t station, int32_t function, int32_t addr, int32_t gateType = 0,
         int32_t count = 1) {
        std::snprintf(text, sizeof text, "%s", address);
        rec = GateAccessRecord{};
        rec.addressString = text;
        rec.station = station;
        rec.function = function;
        rec.address = addr;
        rec.gateType = gateType;
        rec.count = count;
        rec.valuePtr = value;
    }
    int16_t Word() const {
        int16_t w = 0;
        std::memcpy(&w, value + 2, 2);
        return w;
    }
    void SetWord(int16_t w) { std::memcpy(value + 2, &w, 2); }
};

class SimLine : public ::testing::Test {
protected:
    /// Line speed of the fixture; pacing emulates the line's timing.
    virtual h51sim::LineConfig LineSettings() const {
        h51sim::LineConfig line;
        line.baud = 38400;
        line.parity = h51sim::Parity::Even;
        return line;
    }
    virtual void AddStations() {
        AddStation(1, 4);
        AddStation(2, 3);
    }

    void SetUp() override {
        ResetLibraryStateForTests();
        qorlib::Reset();
        sim = std::make_unique<h51sim::Simulator>(LineSettings());
        AddStations();
        std::string error;
        ASSERT_TRUE(sim->Start(&error)) << error;
        port = PortName(sim->DeviceName());
        StartParams sp{};
        std::memcpy(sp.portName, port.c_str(), port.size() + 1);
        sp.comOn = 1;
        sp.replyTimeout = 30; // 300 ms: generous for a loaded machine
        sp.baud = static_cast<uint16_t>(LineSettings().baud);
        sp.dataBits = 8;
        sp.parity = 2;
        ASSERT_EQ(Call(kColdStart, &sp), 0);
        ASSERT_NE(ctx.hf, 0u) << "could not open " << port;
    }

    void TearDown() override {
        Call(kCloseCom);
        sim->Stop();
        if (!link.empty()) {
            unlink(link.c_str());
        }
    }

    void AddStation(int address, uint16_t eventGates, size_t capacity = 500) {
        h51sim::StationConfig config;
        config.address = static_cast<uint8_t>(address);
        config.eventGates = eventGates;
        config.eventCapacity = capacity;
        std::string error;
        ASSERT_TRUE(sim->AddStation(config, &error)) << error;
    }

    /// The device name must fit the 11 characters of a port name; a long one gets a link.
    std::string PortName(const std::string& device) {
        if (device.size() < kPortNameSize) {
            return device;
        }
        static std::atomic<int> counter{0};
        link = "/tmp/mx" + std::to_string(getpid() % 1000) + "_" + std::to_string(counter++ % 10);
        unlink(link.c_str());
        EXPECT_EQ(symlink(device.c_str(), link.c_str()), 0);
        return link;
    }

    int32_t Call(uint32_t command, void* params = nullptr) {
        CallBlock cb{&ctx, command, 1, 0, params};
        return VpiMain(&cb);
    }
    int32_t Read(Gate& gate) { return Call(kSingleRead, &gate.rec); }
    int32_t ReadBlock(Gate& gate) { return Call(kBlockRead, &gate.rec); }
    int32_t Write(Gate& gate, int16_t value) {
        gate.SetWord(value);
        return Call(kSingleWrite, &gate.rec);
    }
    size_t FramesReceived() const { return sim->ReceivedFrames().size(); }

    DriverContext ctx{};
    std::unique_ptr<h51sim::Simulator> sim;
    std::string port;
    std::string link;
};

} // namespace merix::test
