// The two parse commands and the special-name recogniser, called through VpiMain.
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "gates/address_parser.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

/// Marks a record field that the command must leave as the host gave it.
constexpr int32_t kUntouched = 12345;

/// The host's address text in an allocation of exactly its length plus the terminating zero,
/// so that the sanitizer catches any read past the zero.
struct HostText {
    explicit HostText(const std::string& text) : size(text.size() + 1), data(new char[size]) {
        std::memcpy(data.get(), text.c_str(), size);
    }
    std::string str() const { return std::string(data.get()); }
    std::size_t size;
    std::unique_ptr<char[]> data;
};

GateParseRecord MakeRecord(char* text, int32_t type, int32_t blockLength = 1) {
    return GateParseRecord{text,       type,       blockLength, kUntouched,
                           kUntouched, kUntouched, kUntouched,  kUntouched};
}

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

using LogLines = std::vector<std::pair<int, std::string>>;

class AddressParserTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ColdStart(9600, 8, 0, 2, 0);
        qorlib::ClearLog();
    }

    static LogLines Lines() {
        LogLines out;
        for (const auto& line : qorlib::Log()) {
            out.emplace_back(line.level, line.text);
        }
        return out;
    }
};

// --- Accepted forms -------------------------------------------------------------------------

struct AcceptedCase {
    std::string text;
    int32_t type;
    int32_t station, function, address, bitNumber, valueWidth;
};

std::ostream& operator<<(std::ostream& os, const AcceptedCase& c) {
    return os << "'" << Printable(c.text) << "' type " << c.type;
}

class AcceptedAddress : public AddressParserTest,
                        public ::testing::WithParamInterface<AcceptedCase> {};

TEST_P(AcceptedAddress, SingleParserFillsEveryField) {
    const AcceptedCase& c = GetParam();
    HostText text(c.text);
    GateParseRecord rec = MakeRecord(text.data.get(), c.type);
    EXPECT_EQ(Call(kSingleAddressParser, &rec), 0);
    EXPECT_EQ(rec.station, c.station);
    EXPECT_EQ(rec.function, c.function);
    EXPECT_EQ(rec.address, c.address);
    EXPECT_EQ(rec.bitNumber, c.bitNumber);
    EXPECT_EQ(rec.valueWidth, c.valueWidth);
    EXPECT_EQ(rec.gateType, c.type);
    EXPECT_EQ(rec.blockLength, 1);
    EXPECT_TRUE(qorlib::Log().empty()) << qorlib::Log().front().text;
}

constexpr int32_t U = kUntouched;

INSTANTIATE_TEST_SUITE_P(
    Forms, AcceptedAddress,
    ::testing::Values(
        // Ordinary addresses; types 1 and 6 take the bit number from position 7.
        AcceptedCase{"01300100", kGateType0, 1, 3, 100, -1, 16},
        AcceptedCase{"01300100", kGateTypeDigital, 1, 3, 100, 0, 16},
        AcceptedCase{"01300105", kGateTypeDigital, 1, 3, 105, 5,
                     16}, // position 7 is address and bit
        AcceptedCase{"0130010 ", kGateTypeDigital, 1, 3, 10, -1, 16},
        AcceptedCase{"0130010 ", kGateType1, 1, 3, 10, -1, 16},
        AcceptedCase{"99465535", kGateType0, 99, 4, 65535, -1, 16},
        AcceptedCase{"0210001", kGateType0, 2, 1, 1, -1, 1},
        AcceptedCase{"02200017", kGateType1, 2, 2, 17, 7, 1},
        AcceptedCase{"0310", kGateType0, 3, 1, 0, -1, 1},
        // Event gates.
        AcceptedCase{"E050012", kGateTypeDigital, 5, 69, 12, -1, 1},
        AcceptedCase{"E010000", kGateTypeDigital, 1, 69, 0, -1, 1},
        AcceptedCase{"E312047", kGateTypeDigital, 31, 69, 2047, -1, 1},
        AcceptedCase{"e050012", kGateTypeDigital, 5, 69, 12, -1, 1},
        AcceptedCase{"E05001", kGateTypeDigital, 5, 69, 1, -1, 1},
        AcceptedCase{"E051", kGateTypeDigital, 5, 69, 1, -1, 1},
        // Internal gates: station 255, function 80.
        AcceptedCase{"HIMA07", kGateTypeDigital, 255, 80, 7, -1, 1},
        AcceptedCase{"HIMA7", kGateTypeDigital, 255, 80, 7, -1, 1},
        AcceptedCase{"hima07XY", kGateTypeDigital, 255, 80, 7, -1, 1},
        AcceptedCase{"HIMA0712X", kGateTypeDigital, 255, 80, 7, -1, 1},
        AcceptedCase{"HIMA99", kGateTypeDigital, 255, 80, 99, -1, 1},
        AcceptedCase{"HIMA-1", kGateTypeDigital, 255, 80, -1, -1, 1},
        AcceptedCase{"debug", kGateTypeDigital, 255, 80, 255, -1, 1},
        AcceptedCase{"FDELAY", kGateType1, 255, 80, 254, -1, 1},
        AcceptedCase{"ifg", kGateType0, 255, 80, 253, -1, 16},
        // Statistics gates: above every other internal address, 16 addresses a station.
        AcceptedCase{"ST05SIL", kGateType0, 255, 80, 0x100 + 5 * 16 + 3, -1, 16},
        AcceptedCase{"st00rtry", kGateType0, 255, 80, 0x100 + 2, -1, 16},
        AcceptedCase{"ST31TURN", kGateType0, 255, 80, 0x100 + 31 * 16 + 8, -1, 16},
        AcceptedCase{"ST01OK", kGateType0, 255, 80, 0x100 + 16, -1, 16},
        // Special names, with any gate type: only station (with a prefix) and address set.
        AcceptedCase{"$EVENT", 99, U, U, 0xFFFD, U, U},
        AcceptedCase{"07$EVENT", kGateType0, 7, U, 0xFFFD, U, U},
        AcceptedCase{"$error", kGateTypeDigital, U, U, 0xFFFE, U, U},
        AcceptedCase{"$TIME", kGateType1, U, U, 0xFFFC, U, U},
        AcceptedCase{"$EVENT1", kGateType0, U, U, 0xFFFD, U, U},
        AcceptedCase{"31$time", kGateType0, 31, U, 0xFFFC, U, U},
        AcceptedCase{"$EVENT" + std::string(1000, '\xE9'), 0, U, U, 0xFFFD, U, U}));

// --- Refusals -------------------------------------------------------------------------------

struct RefusedCase {
    std::string text;
    int32_t type;
    uint32_t command;
    int32_t result;
    LogLines log; ///< the whole log, run-time errors included, in order
};

std::ostream& operator<<(std::ostream& os, const RefusedCase& c) {
    return os << "'" << Printable(c.text) << "' type " << c.type << " command " << c.command;
}

std::pair<int, std::string> Rte(int code) {
    return {kLogError, "MERIX> Run Time Error " + std::to_string(code)};
}

std::pair<int, std::string> Err(const std::string& text) {
    return {kLogError, text};
}

std::pair<int, std::string> IllegalChar(const std::string& c, const std::string& copy) {
    return Err("MERIX> Illegal char found " + c + " in gate address string " + copy);
}

class RefusedAddress : public AddressParserTest,
                       public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedAddress, LogsAndRaisesInOrder) {
    const RefusedCase& c = GetParam();
    HostText text(c.text);
    GateParseRecord rec = MakeRecord(text.data.get(), c.type);
    EXPECT_EQ(Call(c.command, &rec), c.result);
    EXPECT_EQ(Lines(), c.log);
    EXPECT_EQ(text.str(), c.text) << "a refused text is left as the host gave it";
    for (int s = 0; s < kStationCount; ++s) {
        EXPECT_EQ(host->eventCount[s], 0u) << "station " << s;
    }
}

constexpr uint32_t S = kSingleAddressParser;
constexpr uint32_t B = kBlockAddressParser;

INSTANTIATE_TEST_SUITE_P(
    Causes, RefusedAddress,
    ::testing::Values(
        RefusedCase{"DEBUG", kGateType0, S, 1, {IllegalChar("D", "DEBUG"), Rte(3040), Rte(3011)}},
        RefusedCase{"DEBUG", kGateType0, B, 1, {IllegalChar("D", "DEBUG"), Rte(3040), Rte(3091)}},

        RefusedCase{"HIMA07", kGateType0, S, 1, {IllegalChar("H", "HIMA07"), Rte(3040), Rte(3011)}},
        RefusedCase{
            "HIMAX", kGateTypeDigital, S, 1, {IllegalChar("H", "HIMAX"), Rte(3040), Rte(3011)}},
        RefusedCase{
            "AB$EVENT", kGateType0, S, 1, {IllegalChar("A", "AB$EVENT"), Rte(3040), Rte(3011)}},
        RefusedCase{"$EVENT", kGateType0, B, 1, {IllegalChar("$", "$EVENT"), Rte(3040), Rte(3091)}},
        RefusedCase{
            "0130a100", kGateType0, S, 1, {IllegalChar("A", "0130A100"), Rte(3044), Rte(3011)}},
        RefusedCase{
            "01E00100", kGateType0, S, 1, {IllegalChar("E", "01E00100"), Rte(3042), Rte(3011)}},
        RefusedCase{
            "01300100X", kGateType0, S, 1, {IllegalChar("X", "01300100X"), Rte(3048), Rte(3011)}},
        RefusedCase{
            "013001000", kGateType0, B, 1, {IllegalChar("0", "013001000"), Rte(3048), Rte(3091)}},
        RefusedCase{"0130010\xE9",
                    kGateTypeDigital,
                    S,
                    1,
                    {IllegalChar("\xE9", "0130010\xE9"), Rte(3047), Rte(3011)}},
        RefusedCase{
            "\xFF\x80", kGateType0, S, 1, {IllegalChar("\xFF", "\xFF\x80"), Rte(3040), Rte(3011)}},
        // Statistics gates: one line says why, then the parser's run-time error.
        RefusedCase{"ST32OK",
                    kGateType0,
                    S,
                    1,
                    {Err("MERIX> Parse() statistics gate ST32OK refused: station not 00 to 31"),
                     Rte(3011)}},
        RefusedCase{"ST5SIL",
                    kGateType0,
                    S,
                    1,
                    {Err("MERIX> Parse() statistics gate ST5SIL refused: the station takes two "
                         "digits"),
                     Rte(3011)}},
        RefusedCase{
            "ST05SILX",
            kGateType0,
            S,
            1,
            {Err("MERIX> Parse() statistics gate ST05SILX refused: no such counter"), Rte(3011)}},
        RefusedCase{
            "ST05",
            kGateType0,
            S,
            1,
            {Err("MERIX> Parse() statistics gate ST05 refused: no such counter"), Rte(3011)}},
        RefusedCase{"ST05SIL",
                    kGateTypeDigital,
                    S,
                    1,
                    {Err("MERIX> Parse() statistics gate ST05SIL refused: gate type must be 0"),
                     Rte(3011)}},
        // Gate type: the run-time error comes before the line, which shows the text's own case.
        RefusedCase{"01300100",
                    2,
                    S,
                    1,
                    {Rte(3030), Err("MERIX> 01300100 illegal gate type used:2."), Rte(3011)}},
        RefusedCase{"debug",
                    -1,
                    B,
                    1,
                    {Rte(3030), Err("MERIX> debug illegal gate type used:-1."), Rte(3091)}},
        // Event gates.
        RefusedCase{"E050012",
                    kGateType0,
                    S,
                    1,
                    {Err("MERIX> Gate should be defined as digital!"), Rte(3011)}},
        RefusedCase{"E002047",
                    kGateTypeDigital,
                    S,
                    1,
                    {Err("MERIX> Station 0 should be in range(1...31)"), Rte(3011)}},
        RefusedCase{"E322047",
                    kGateTypeDigital,
                    S,
                    1,
                    {Err("MERIX> Station 32 should be in range(1...31)"), Rte(3011)}},
        RefusedCase{"E992047",
                    kGateTypeDigital,
                    B,
                    1,
                    {Err("MERIX> Station 99 should be in range(1...31)"), Rte(3091)}},
        RefusedCase{"E",
                    kGateTypeDigital,
                    S,
                    1,
                    {Err("MERIX> Station 0 should be in range(1...31)"), Rte(3011)}},
        RefusedCase{"E012048",
                    kGateTypeDigital,
                    S,
                    1,
                    {Err("MERIX> Gate address 2048 should less than 2048"), Rte(3011)}},
        RefusedCase{"E01",
                    kGateTypeDigital,
                    S,
                    1,
                    {Err("MERIX> Gate address 0 should less than 2048"), Rte(3011)}},
        // Ordinary addresses.
        RefusedCase{"00300100", kGateType0, S, 1, {Rte(3011)}},
        RefusedCase{"01500100", kGateType0, S, 1, {Rte(3080), Rte(3011)}},
        RefusedCase{"01000100", kGateType0, B, 1, {Rte(3080), Rte(3091)}},
        RefusedCase{"013", kGateType0, S, 1, {Rte(3060), Rte(3011)}},

        RefusedCase{"", kGateType0, S, 1, {Rte(3050), Rte(3011)}},
        RefusedCase{"", kGateTypeDigital, B, 1, {Rte(3050), Rte(3091)}},
        RefusedCase{"0130010", kGateTypeDigital, S, 1, {Rte(3020)}},
        // Length: ten characters are refused without a run-time error of the parse's own.
        RefusedCase{"0123456789",
                    kGateType0,
                    S,
                    1,
                    {{kLogDetail, "MERIX> Parse() Gate string length too long 0123456789 (> 9)"},
                     Rte(3011)}},
        RefusedCase{"0123456789",
                    kGateType0,
                    B,
                    1,
                    {{kLogDetail, "MERIX> Parse() Gate string length too long 0123456789 (> 9)"},
                     Rte(3091)}},
        // Refused as a block, without any log line.
        RefusedCase{"IFG", kGateType0, B, 2, {}}, RefusedCase{"HIMA07", kGateTypeDigital, B, 2, {}},
        RefusedCase{"debug", kGateTypeDigital, B, 2, {}},
        RefusedCase{"st05sil", kGateType0, B, 2, {}}));

TEST_F(AddressParserTest, RefusalKeepsTheFieldsStoredBeforeIt) {
    HostText text("01500100");
    GateParseRecord rec = MakeRecord(text.data.get(), 0);
    EXPECT_EQ(Call(kSingleAddressParser, &rec), 1);
    EXPECT_EQ(rec.station, 1);
    EXPECT_EQ(rec.address, 100);
    EXPECT_EQ(rec.function, 5);
    EXPECT_EQ(rec.bitNumber, kUntouched);
    EXPECT_EQ(rec.valueWidth, kUntouched);
}

// --- Blocks ---------------------------------------------------------------------------------

struct BlockCase {
    std::string text;
    int32_t type;
    int32_t blockLength;
    int32_t result;
    int32_t valueWidth;
};

std::ostream& operator<<(std::ostream& os, const BlockCase& c) {
    return os << "'" << c.text << "' type " << c.type << " length " << c.blockLength;
}

class BlockAddressLimits : public AddressParserTest,
                           public ::testing::WithParamInterface<BlockCase> {};

TEST_P(BlockAddressLimits, AnswersByLengthAndNeverReadsABitNumber) {
    const BlockCase& c = GetParam();
    HostText text(c.text);
    GateParseRecord rec = MakeRecord(text.data.get(), c.type, c.blockLength);
    EXPECT_EQ(Call(kBlockAddressParser, &rec), c.result);
    EXPECT_EQ(rec.valueWidth, c.valueWidth);
    EXPECT_EQ(rec.bitNumber, -1);
    EXPECT_TRUE(RunTimeErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, BlockAddressLimits,
    ::testing::Values(BlockCase{"01300100", 0, 127, 0, 16}, BlockCase{"01300100", 0, 128, 2, 16},

                      BlockCase{"01100100", 0, 1999, 0, 1}, BlockCase{"01100100", 0, 2000, 2, 1},

                      BlockCase{"E050012", 6, 1999, 0, 1}, BlockCase{"E050012", 6, 2000, 2, 1},
                      BlockCase{"0130010", 6, 10, 0, 16}, BlockCase{"01300105", 6, 10, 0, 16}));

// --- Event counting -------------------------------------------------------------------------

TEST_F(AddressParserTest, EveryAcceptedEventGateCountsForItsStation) {
    const char* texts[] = {"E050012", "e050013", "E050012", "E310000"};
    for (int i = 0; i < 4; ++i) {
        HostText text(texts[i]);
        GateParseRecord rec = MakeRecord(text.data.get(), 6, 10);
        EXPECT_EQ(Call(i % 2 == 0 ? kSingleAddressParser : kBlockAddressParser, &rec), 0);
    }
    EXPECT_EQ(host->eventCount[5], 3u);
    EXPECT_EQ(host->eventCount[31], 1u);
}

// --- The host's text: long, empty, non-ASCII --------------------------------------------------

TEST_F(AddressParserTest, LongTextIsRefusedWithABoundedLogLine) {
    for (char fill : {'1', '\xFF', 'a'}) {
        for (uint32_t command : {kSingleAddressParser, kBlockAddressParser}) {
            qorlib::ClearLog();
            HostText text(std::string(1000, fill));
            GateParseRecord rec = MakeRecord(text.data.get(), 0);
            EXPECT_EQ(Call(command, &rec), 1);
            const auto lines = Lines();
            ASSERT_EQ(lines.size(), 2u);
            EXPECT_EQ(lines[0].first, kLogDetail);
            EXPECT_EQ(lines[0].second.rfind(
                          "MERIX> Parse() Gate string length too long " + std::string(20, fill), 0),
                      0u);
            EXPECT_LT(lines[0].second.size(), 512u);
            EXPECT_EQ(lines[1], Rte(command == kSingleAddressParser ? 3011 : 3091));
            EXPECT_EQ(text.str(), std::string(1000, fill));
            EXPECT_EQ(rec.station, kUntouched);
        }
    }
}

TEST_F(AddressParserTest, LongTextWithADollarIsUpperCasedByTheSpecialNameTestOnly) {
    HostText text("$" + std::string(999, 'x'));
    GateParseRecord rec = MakeRecord(text.data.get(), 0);
    EXPECT_EQ(Call(kSingleAddressParser, &rec), 1);
    EXPECT_EQ(text.str(), "$" + std::string(999, 'X'));
    EXPECT_EQ(rec.address, 0xFFFC) << "each name tried stores its address";
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{3011});
}

// --- MatchSpecialName directly ----------------------------------------------------------------

struct SpecialCase {
    std::string text;
    int index;
    std::string after; ///< the text after the call
    int32_t station, address;
};

std::ostream& operator<<(std::ostream& os, const SpecialCase& c) {
    return os << "'" << Printable(c.text) << "'";
}

class SpecialNameMatch : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialNameMatch, AnswersIndexAndUpperCasesInPlace) {
    const SpecialCase& c = GetParam();
    HostText text(c.text);
    int32_t station = kUntouched;
    int32_t address = kUntouched;
    EXPECT_EQ(MatchSpecialName(text.data.get(), &station, &address), c.index);
    EXPECT_EQ(text.str(), c.after);
    EXPECT_EQ(station, c.station);
    EXPECT_EQ(address, c.address);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SpecialNameMatch,
    ::testing::Values(SpecialCase{"$error", 1, "$ERROR", U, 0xFFFE},
                      SpecialCase{"07$event", 2, "07$EVENT", 7, 0xFFFD},
                      SpecialCase{"$Time", 3, "$TIME", U, 0xFFFC},
                      SpecialCase{"$EVENTS", 2, "$EVENTS", U, 0xFFFD},
                      SpecialCase{"$EVEN", 0, "$EVEN", U, 0xFFFC},
                      // Upper-cased from the name on, the station prefix keeps its case.
                      SpecialCase{"7a$time", 3, "7a$TIME", 7, 0xFFFC},
                      SpecialCase{"x$y", 0, "X$Y", U, 0xFFFC},
                      // An unreadable or negative prefix ends the test before anything changes.
                      SpecialCase{"ab$event", 0, "ab$event", U, U},
                      SpecialCase{"-1$EVENT", 0, "-1$EVENT", U, U},
                      SpecialCase{"\xE9\xE9$event", 0, "\xE9\xE9$event", U, U},
                      SpecialCase{"01300100", 0, "01300100", U, U}, SpecialCase{"", 0, "", U, U},
                      SpecialCase{"$", 0, "$", U, 0xFFFC}, SpecialCase{"1$", 0, "1$", U, 0xFFFC},
                      SpecialCase{"$\xE9vent", 0, "$\xE9VENT", U, 0xFFFC}));

} // namespace
} // namespace merix::test
