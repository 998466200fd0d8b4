// The driver against a Modbus RTU slave that nobody here wrote: libmodbus's server, on a
// pseudo-terminal pair bridged to the one the driver opens.
#include <gtest/gtest.h>
#include <modbus.h>
#include <poll.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "pty_pair.h"

namespace merix::test {
namespace {

/// Copies bytes between the masters of two pseudo-terminals: a null-modem cable.
class Bridge {
public:
    Bridge(int a, int b) : a_(a), b_(b), thread_([this] { Run(); }) {}
    ~Bridge() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run() {
        while (!stop_) {
            pollfd fds[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & POLLIN) != 0) {
                    uint8_t buf[512];
                    const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                    if (n > 0) {
                        (void)!::write(i == 0 ? b_ : a_, buf, static_cast<size_t>(n));
                    }
                }
            }
        }
    }
    int a_;
    int b_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class LibmodbusSlave : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(driverSide.ok() && slaveSide.ok());
        ResetLibraryStateForTests();
        qorlib::Reset();
        bridge = std::make_unique<Bridge>(driverSide.master(), slaveSide.master());
        mapping = modbus_mapping_new(100, 100, 100, 100);
        ASSERT_NE(mapping, nullptr);
        server = modbus_new_rtu(slaveSide.name().c_str(), 9600, 'N', 8, 1);
        ASSERT_NE(server, nullptr);
        modbus_set_slave(server, 1);
        ASSERT_EQ(modbus_connect(server), 0) << modbus_strerror(errno);
        serverThread = std::thread([this] { Serve(); });

        StartParams sp{};
        ASSERT_LT(driverSide.name().size(), sizeof sp.portName);
        std::memcpy(sp.portName, driverSide.name().c_str(), driverSide.name().size() + 1);
        sp.comOn = 1;
        sp.replyTimeout = 50;
        sp.baud = 9600;
        sp.dataBits = 8;
        sp.parity = 0;
        CallBlock cb{&ctx, kColdStart, 1, 0, &sp};
        ASSERT_EQ(VpiMain(&cb), 0);
        ASSERT_NE(ctx.hf, 0u);
    }
    void TearDown() override {
        CallBlock cb{&ctx, kCloseCom, 1, 0, nullptr};
        VpiMain(&cb);
        stop = true;
        if (serverThread.joinable()) {
            serverThread.join();
        }
        if (server != nullptr) {
            modbus_close(server);
            modbus_free(server);
        }
        if (mapping != nullptr) {
            modbus_mapping_free(mapping);
        }
        bridge.reset();
    }
    void Serve() {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        const int fd = modbus_get_socket(server);
        while (!stop) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) {
                continue;
            }
            const int n = modbus_receive(server, query);
            if (n > 0) {
                modbus_reply(server, query, n, mapping);
            }
        }
    }
    int32_t Call(uint32_t command, GateAccessRecord& rec) {
        CallBlock cb{&ctx, command, 1, 0, &rec};
        return VpiMain(&cb);
    }
    static GateAccessRecord Record(char* text, uint8_t* value, int32_t function, int32_t address,
                                   int32_t gateType, int32_t count = 1) {
        GateAccessRecord rec{};
        rec.addressString = text;
        rec.station = 1;
        rec.function = function;
        rec.address = address;
        rec.gateType = gateType;
        rec.count = count;
        rec.valuePtr = value;
        return rec;
    }
    static int16_t Word(const uint8_t* value) {
        int16_t w = 0;
        std::memcpy(&w, value + 2, 2);
        return w;
    }

    PtyPair driverSide;
    PtyPair slaveSide;
    std::unique_ptr<Bridge> bridge;
    modbus_t* server = nullptr;
    modbus_mapping_t* mapping = nullptr;
    std::thread serverThread;
    std::atomic<bool> stop{false};
    DriverContext ctx{};
};

TEST_F(LibmodbusSlave, ReadsFunctions1To4) {
    mapping->tab_bits[7] = 1;
    mapping->tab_input_bits[3] = 1;
    mapping->tab_registers[10] = 0xBEEF;
    mapping->tab_input_registers[20] = 4242;
    for (int i = 0; i < 16; ++i) {
        mapping->tab_registers[40 + i] = static_cast<uint16_t>(i * 100);
    }
    char text[] = "01100007";
    uint8_t value[64] = {};
    auto coil = Record(text, value, 1, 7, 6);
    EXPECT_EQ(Call(kSingleRead, coil), 0);
    EXPECT_EQ(Word(value), 1);
    auto input = Record(text, value, 2, 3, 6);
    EXPECT_EQ(Call(kSingleRead, input), 0);
    EXPECT_EQ(Word(value), 1);
    auto reg = Record(text, value, 3, 10, 0);
    EXPECT_EQ(Call(kSingleRead, reg), 0);
    EXPECT_EQ(static_cast<uint16_t>(Word(value)), 0xBEEF);
    auto inputReg = Record(text, value, 4, 20, 0);
    EXPECT_EQ(Call(kSingleRead, inputReg), 0);
    EXPECT_EQ(Word(value), 4242);
    auto block = Record(text, value, 3, 40, 0, 16);
    EXPECT_EQ(Call(kBlockRead, block), 0);
    for (int i = 0; i < 16; ++i) {
        uint16_t w = 0;
        std::memcpy(&w, value + 2 * i, 2);
        EXPECT_EQ(w, i * 100);
    }
}

TEST_F(LibmodbusSlave, WritesFunctions5And6) {
    char text[] = "01100005";
    uint8_t value[8] = {};
    auto coil = Record(text, value, 1, 5, 6);
    int16_t on = 1;
    std::memcpy(value + 2, &on, 2);
    EXPECT_EQ(Call(kSingleWrite, coil), 0);
    EXPECT_EQ(mapping->tab_bits[5], 1);
    auto reg = Record(text, value, 3, 30, 0);
    int16_t v = -1234;
    std::memcpy(value + 2, &v, 2);
    EXPECT_EQ(Call(kSingleWrite, reg), 0);
    EXPECT_EQ(static_cast<int16_t>(mapping->tab_registers[30]), -1234);
}

TEST_F(LibmodbusSlave, AddressOutsideTheSlavesTablesIsRefused) {
    char text[] = "01300500";
    uint8_t value[8] = {};
    auto reg = Record(text, value, 3, 500, 0);
    EXPECT_EQ(Call(kSingleRead, reg), 1);
    EXPECT_EQ(ctx.plcState[1], kCommunicating);
    EXPECT_TRUE(qorlib::Logged("MERIX> Receive() (MB-protocol) Illegal data address (PLC 1)"));
}

} // namespace
} // namespace merix::test
