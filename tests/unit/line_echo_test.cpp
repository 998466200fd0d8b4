// A line that hears its own requests: the echo is read and compared before the reply and never
// taken for it, so that no write is confirmed by its own echo.
#include "gates/address_parser.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "test_support.h"

namespace merix::test {
namespace {

const Frame kRegisters = WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}); // station 1: 0x1234
const Frame kReadRequest = WithCrc({0x01,                         // station
                                    0x03,                         // read holding registers
                                    0x00, 0x64,                   // address 100
                                    0x00, 0x01});                 // one register

struct EchoCase {
    const char* name;
    const char* ini;
    bool lineEchoes;     ///< the fake hears every request
    bool readFirst;      ///< a read of station 1 before the writes
    bool lateEcho;       ///< the read's echo comes with its reply, after the turn
    int32_t readResult;  ///< of that read
    int32_t writeResult; ///< of a register and a coil write to station 9, which is not there
};

class LineEcho : public InDirTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(LineEcho, NoWriteIsConfirmedByItsOwnEcho) {
    const EchoCase& c = GetParam();
    WriteFile("MERIX01.INI", c.ini);
    ASSERT_EQ(ColdStart(), 0);
    fake::EchoRequests(c.lineEchoes && !c.lateEcho);
    if (c.readFirst) {
        AccessGate gate("01300100", 1, 3, 100);
        if (c.lateEcho) {
            fake::QueueReply({fake::Bytes(kReadRequest), fake::Bytes(kRegisters)});
        } else {
            fake::QueueReply(kRegisters);
        }
        EXPECT_EQ(Call(kSingleRead, &gate.rec), c.readResult);
        if (c.readResult == 0) {
            EXPECT_EQ(gate.Word(), 0x1234);
        }
    }
    fake::EchoRequests(c.lineEchoes);
    AccessGate reg("09600100", 9, 6, 100);
    reg.SetWord(0x0099);
    AccessGate coil("09500004", 9, 5, 4, kGateTypeDigital);
    coil.SetWord(1);
    EXPECT_EQ(Call(kSingleWrite, &reg.rec), c.writeResult) << "register";
    EXPECT_EQ(Call(kSingleWrite, &coil.rec), c.writeResult) << "coil";
    // A whole echo is no collision; a missing one counts as one, each attempt.
    EXPECT_EQ(ReadLineCounter(*host, 9, LineCounter::kEcho),
              c.ini[0] != '\0' && !c.lineEchoes ? 10u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineEcho,
    ::testing::Values(
        // A line that does not echo: as it always was (an absent station gives silence).
        EchoCase{"Quiet", "", false, true, false, 0, 2},
        EchoCase{"EchoOn", "ECHO = ON\n", true, true, false, 0, 2},
        // Found by a read: its echo came while it was being sent, before any station could
        // answer, and its reply differs from it.
        EchoCase{"FoundByARead", "", true, true, false, 0, 2},
        // An adapter that hands its bytes on late: the read's reply begins with its request.
        EchoCase{"FoundLateByARead", "", true, true, true, 0, 2},
        // ECHO = ON on a line that does not echo: every attempt misses its echo.
        EchoCase{"EchoOnButNone", "ECHO = ON\n", false, true, false, 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InDirTest, AnEchoThatDiffersIsACollisionCountedAsEcho) {
    WriteFile("MERIX01.INI", "ECHO = ON\n");
    ASSERT_EQ(ColdStart(), 0);
    // The request's echo with its address changed on the way, then the controller's reply; and
    // the second attempt's echo whole, then the reply.
    const Frame request = WithCrc({0x01, 0x03, 0x00, 0x64, 0x00, 0x01});
    Frame changed = request;
    changed[3] = 0x65; // address 101: another master's bits over ours
    fake::QueueReply({fake::Bytes(changed), fake::Bytes(kRegisters)});
    fake::QueueReply({fake::Bytes(request), fake::Bytes(kRegisters)});
    AccessGate gate("01300100", 1, 3, 100);
    EXPECT_EQ(Call(kSingleRead, &gate.rec), 0);
    EXPECT_EQ(gate.Word(), 0x1234);
    EXPECT_EQ(ReadLineCounter(*host, 1, LineCounter::kEcho), 1u);
    EXPECT_EQ(ReadLineCounter(*host, 1, LineCounter::kRetry), 1u) << "the collision is retried";
}

} // namespace
} // namespace merix::test
