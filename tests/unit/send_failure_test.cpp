// A request that cannot be sent, in each of the three retry loops: every try is made, and the
// transaction ends as a communication failure.
#include "test_support.h"

namespace merix::test {
namespace {

struct SendFailureCase {
    const char* name;
    const char* address;
    int32_t function;
    int32_t gateAddress;
    uint32_t command;
    const char* logged;      ///< the loop's own line for a failed send
    uint32_t stateAfterward; ///< reads and event reads put the station in error, writes do not
};

class SendFailure : public DriverTest, public ::testing::WithParamInterface<SendFailureCase> {};

TEST_P(SendFailure, EveryTryIsMadeAndTheResultIs2) {
    const SendFailureCase& c = GetParam();
    ColdStart();
    fake::ClearCalls();
    qorlib::ClearLog();
    AccessGate gate(c.address, 5, c.function, c.gateAddress);
    fake::FailNext("WriteFile", 5);
    EXPECT_EQ(Call(c.command, &gate.rec), 2);
    EXPECT_EQ(fake::CallsStartingWith("WriteFile").size(), 5u);
    EXPECT_TRUE(fake::CallsStartingWith("ReadFile").empty()) << "no reply awaited";
    EXPECT_TRUE(qorlib::Logged(c.logged));
    EXPECT_EQ(host->plcState[5], c.stateAfterward);
}

INSTANTIATE_TEST_SUITE_P(Loops, SendFailure,
                         ::testing::Values(SendFailureCase{"Read", "05300001", 3, 1, kSingleRead,
                                                           "MERIX> DoRead() send error 1", 1},
                                           SendFailureCase{"Write", "05300001", 3, 1, kSingleWrite,
                                                           "MERIX> SingleWrite(), send rc=1", 0},
                                           SendFailureCase{
                                               "Event", "$EVENT", 3, 0xFFFD, kSingleRead,
                                               "MERIX> ReadEvent() Send failed (PLC 5)", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace merix::test
