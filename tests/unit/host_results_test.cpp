// A host whose services return 16-bit values: the upper half of every result is junk, and
// the event path must look at the low half only.
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

TEST_F(DriverTest, EventPathReadsOnlyTheLow16BitsOfTheHostsResults) {
    for (int e = 0; e < 10; ++e) {
        char text[16];
        std::snprintf(text, sizeof text, "E05%04d", e);
        qorlib::DefineGate(text, 1);
    }
    qorlib::SetUpperHalfJunk(true);
    ColdStart();
    AccessGate events("$EVENT", 5, 3, 0xFFFD);

    fake::QueueReply(WithCrc({0x05, 0x41, 0x02, 0x01, 0x00})); // set-up: event 0 set
    EXPECT_EQ(Call(kSingleRead, &events.rec), 0);
    EXPECT_EQ(fake::Written().at(0),
              WithCrc({0x05, 0x41, 0x04, 0x00, 0x00, 0x00, 0x0A})); // all ten gates counted
    EXPECT_TRUE(qorlib::OpenAlerts().empty()) << "no count conflict";
    ASSERT_EQ(qorlib::History("E050000", 1).size(), 1u);

    fake::QueueReply(WithCrc({0x05, 0x42, 0x08,       // one event record
                              0x07, 0x00,             // event 7
                              0x01,                   // set
                              0x00, 0x00, 0x00, 0x00, // milliseconds, second, minute
                              0x0A}));                // hour
    EXPECT_EQ(Call(kSingleRead, &events.rec), 0);
    const auto delivered = qorlib::LastValue("E050007", 1);
    ASSERT_TRUE(delivered.has_value());
    EXPECT_EQ(delivered->value, 1);
    for (const auto& text : LogTexts()) {
        EXPECT_EQ(text.find("probably deleted"), std::string::npos) << text;
        EXPECT_EQ(text.find("QPGV failed"), std::string::npos) << text;
    }
}

} // namespace
} // namespace merix::test
