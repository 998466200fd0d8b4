// libmodbus, a Modbus master that no one here wrote, against the simulator on a pty: every
// standard function must give the values and exceptions that a Modbus slave gives.
#include "sim/simulator.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>
#include <functional>

namespace h51sim {
namespace {

constexpr int kStation = 7;

class ModbusPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        LineConfig line; // 9600 8E1, as the controllers' lines usually run
        sim_ = std::make_unique<Simulator>(line);
        StationConfig c;
        c.address = kStation;
        c.coils = 2000;
        c.discreteInputs = 100;
        c.holdingRegisters = 125;
        c.inputRegisters = 100;
        ASSERT_TRUE(sim_->AddStation(c));
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        // A pty ignores the parity that libmodbus sets; the simulator keeps the timing.
        ctx_ = modbus_new_rtu(sim_->DeviceName().c_str(), 9600, 'E', 8, 1);
        ASSERT_NE(ctx_, nullptr);
        ASSERT_EQ(modbus_set_slave(ctx_, kStation), 0);
        ASSERT_EQ(modbus_set_response_timeout(ctx_, 2, 0), 0);
        ASSERT_EQ(modbus_connect(ctx_), 0) << modbus_strerror(errno);
    }

    void TearDown() override {
        if (ctx_ != nullptr) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
    }

    std::unique_ptr<Simulator> sim_;
    modbus_t* ctx_ = nullptr;
};

TEST_F(ModbusPeerTest, ReadsCoilsAndInputs) {
    for (uint32_t i = 0; i < 2000; i += 3) {
        sim_->SetCoil(kStation, i, true);
    }
    sim_->SetDiscreteInput(kStation, 98, true);
    std::vector<uint8_t> bits(2000);
    ASSERT_EQ(modbus_read_bits(ctx_, 0, 2000, bits.data()), 2000) << modbus_strerror(errno);
    for (size_t i = 0; i < bits.size(); ++i) {
        ASSERT_EQ(bits[i], i % 3 == 0 ? 1 : 0) << "coil " << i;
    }
    ASSERT_EQ(modbus_read_input_bits(ctx_, 97, 3, bits.data()), 3) << modbus_strerror(errno);
    EXPECT_EQ(bits[0], 0);
    EXPECT_EQ(bits[1], 1);
    EXPECT_EQ(bits[2], 0);
}

TEST_F(ModbusPeerTest, ReadsHoldingAndInputRegisters) {
    for (uint32_t i = 0; i < 125; ++i) {
        sim_->SetHoldingRegister(kStation, i, static_cast<uint16_t>(1000 + i));
    }
    sim_->SetInputRegister(kStation, 99, 0xBEEF);
    std::vector<uint16_t> regs(125);
    ASSERT_EQ(modbus_read_registers(ctx_, 0, 125, regs.data()), 125) << modbus_strerror(errno);
    for (size_t i = 0; i < regs.size(); ++i) {
        ASSERT_EQ(regs[i], 1000 + i) << "register " << i;
    }
    ASSERT_EQ(modbus_read_input_registers(ctx_, 99, 1, regs.data()), 1) << modbus_strerror(errno);
    EXPECT_EQ(regs[0], 0xBEEF);
}

TEST_F(ModbusPeerTest, WritesCoilAndRegister) {
    ASSERT_EQ(modbus_write_bit(ctx_, 1999, 1), 1) << modbus_strerror(errno);
    EXPECT_EQ(sim_->GetCoil(kStation, 1999), true);
    ASSERT_EQ(modbus_write_bit(ctx_, 1999, 0), 1) << modbus_strerror(errno);
    EXPECT_EQ(sim_->GetCoil(kStation, 1999), false);
    ASSERT_EQ(modbus_write_register(ctx_, 124, 0xFFFE), 1) << modbus_strerror(errno);
    EXPECT_EQ(sim_->GetHoldingRegister(kStation, 124), 0xFFFE);
}

struct ExceptionCase {
    const char* name;
    std::function<int(modbus_t*)> call;
    int error;
};

void PrintTo(const ExceptionCase& c, std::ostream* os) {
    *os << c.name;
}

class ModbusExceptionTest : public ModbusPeerTest,
                            public ::testing::WithParamInterface<ExceptionCase> {};

TEST_P(ModbusExceptionTest, MasterSeesTheException) {
    errno = 0;
    EXPECT_EQ(GetParam().call(ctx_), -1);
    EXPECT_EQ(errno, GetParam().error) << modbus_strerror(errno);
    // The line is still in step: a good request after the refusal works.
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(ctx_, 0, 1, &value), 1) << modbus_strerror(errno);
}

uint8_t g_bits[2048];
uint16_t g_regs[128];
const uint16_t g_values[2] = {1, 2};

INSTANTIATE_TEST_SUITE_P(
    Refusals, ModbusExceptionTest,
    ::testing::Values(
        ExceptionCase{"CoilsPastTheEnd",
                      [](modbus_t* c) { return modbus_read_bits(c, 1990, 11, g_bits); }, EMBXILADD},
        ExceptionCase{"InputsPastTheEnd",
                      [](modbus_t* c) { return modbus_read_input_bits(c, 100, 1, g_bits); },
                      EMBXILADD},
        ExceptionCase{"RegistersPastTheEnd",
                      [](modbus_t* c) { return modbus_read_registers(c, 120, 6, g_regs); },
                      EMBXILADD},
        ExceptionCase{"InputRegistersPastTheEnd",
                      [](modbus_t* c) { return modbus_read_input_registers(c, 0, 101, g_regs); },
                      EMBXILADD},
        ExceptionCase{"WriteCoilPastTheEnd",
                      [](modbus_t* c) { return modbus_write_bit(c, 2000, 1); }, EMBXILADD},
        ExceptionCase{"WriteRegisterPastTheEnd",
                      [](modbus_t* c) { return modbus_write_register(c, 125, 1); }, EMBXILADD},
        ExceptionCase{"ZeroRegisters",
                      [](modbus_t* c) { return modbus_read_registers(c, 0, 0, g_regs); },
                      EMBXILVAL},
        ExceptionCase{"ZeroCoils", [](modbus_t* c) { return modbus_read_bits(c, 0, 0, g_bits); },
                      EMBXILVAL},
        ExceptionCase{"WriteMultipleRegisters",
                      [](modbus_t* c) { return modbus_write_registers(c, 0, 2, g_values); },
                      EMBXILFUN},
        ExceptionCase{"WriteMultipleCoils",
                      [](modbus_t* c) { return modbus_write_bits(c, 0, 2, g_bits); }, EMBXILFUN}),
    [](const auto& info) { return std::string(info.param.name); });

// What libmodbus's own API will not send: a coil value other than on or off.
TEST_F(ModbusPeerTest, CoilValueNeitherOnNorOffIsRefusedWithCode3) {
    const uint8_t request[] = {kStation, 0x05, 0x00, 0x01, 0x12, 0x34};
    ASSERT_EQ(modbus_send_raw_request(ctx_, request, sizeof request), 8);
    uint8_t reply[MODBUS_RTU_MAX_ADU_LENGTH];
    const int n = modbus_receive_confirmation(ctx_, reply);
    ASSERT_EQ(n, 5) << modbus_strerror(errno);
    EXPECT_EQ(reply[1], 0x85);
    EXPECT_EQ(reply[2], 0x03);
    EXPECT_EQ(sim_->GetCoil(kStation, 1), false);
}

} // namespace
} // namespace h51sim
