#include "gates/address_parser.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "serial/protocol.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "services/run_time_error.h"

namespace merix {

// Each station's counters take the addresses below the next station's first.
static_assert(kLineCounterCount <= kStatisticsStride, "a station's counters fit its stride");

namespace {

// Index 0 is a placeholder so that the table index is the name's index.
constexpr const char* kSpecialNames[] = {"", "$ERROR", "$EVENT", "$TIME"};
constexpr int kSpecialNameCount = 3;

// Allowed characters by position; an address has no position 8 of its own, so a ninth
// character is refused like any other illegal character.
constexpr const char* kCharClasses[kMaxAddressLength] = {
    "E0123456789", "0123456789", "0123456789",  "0123456789", "0123456789",
    "0123456789",  "0123456789", "0123456789 ", "",
};

constexpr int32_t kMaxRegisterBlock = 127;
constexpr int32_t kMaxBitBlock = 1999;

char UpperCase(char c) {
    // toupper of a negative char is undefined; bytes above 127 arrive from the host.
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool InClass(const char* allowed, char c) {
    return c != '\0' && std::strchr(allowed, c);
}

// Length of `s`, but no character beyond s[max] is looked at: the host's text may be of any
// length.
std::size_t BoundedLength(const char* s, std::size_t max) {
    std::size_t n = 0;
    while (n < max && s[n] != '\0') {
        ++n;
    }
    return n;
}

// sscanf of a field of the host's text through a small local copy of `width` characters, so
// that the scan never looks at the rest of the text. Only used where the character behind the
// field ends any number anyway, so the result is that of a scan of the whole text.
bool ScanHostField(const char* field, std::size_t width, const char* format, int* value) {
    char buf[4] = {};
    std::memcpy(buf, field, BoundedLength(field, width < sizeof buf ? width : sizeof buf - 1));
    return std::sscanf(buf, format, value) == 1;
}

void SetInternal(GateParseRecord& rec, int32_t address, int32_t width) {
    rec.station = kInternalStation;
    rec.address = address;
    rec.bitNumber = -1;
    rec.valueWidth = width;
    rec.function = kInternalFunction;
}

// The internal gates, each valid with one gate type only. Answers true when one matched.
bool ParseInternal(const char* copy, GateParseRecord& rec) {
    const int32_t type = rec.gateType;
    if (std::strncmp(copy, "HIMA", 4) == 0 && type == kGateTypeDigital) {
        int station = 0;
        if (std::sscanf(copy + 4, "%2d", &station) == 1) {
            SetInternal(rec, station, 1);
            return true;
        }
    }
    if (std::strcmp(copy, "DEBUG") == 0 && type == kGateTypeDigital) {
        SetInternal(rec, kInternalDebug, 1);
        return true;
    }
    if (std::strcmp(copy, "FDELAY") == 0 && type == kGateType1) {
        SetInternal(rec, kInternalFDelay, 1);
        return true;
    }
    if (std::strcmp(copy, "IFG") == 0 && type == kGateType0) {
        SetInternal(rec, kInternalIfg, 16);
        return true;
    }
    return false;
}

// "ST", two station digits (00: the whole line) and a counter name; `copy` is upper-cased.
// Nothing starting with "ST" was ever an address, so no text that was accepted changes.
bool IsStatisticsName(const char* copy) {
    return copy[0] == 'S' && copy[1] == 'T';
}

int32_t RefuseStatistics(const char* copy, const char* why) {
    Log(kLogError, "MERIX> Parse() statistics gate %s refused: %s", copy, why);
    return kResultRefused;
}

int32_t ParseStatistics(const char* copy, GateParseRecord& rec) {
    if (rec.gateType != kGateType0) {
        return RefuseStatistics(copy, "gate type must be 0");
    }
    if (std::isdigit(static_cast<unsigned char>(copy[2])) == 0 ||
        std::isdigit(static_cast<unsigned char>(copy[3])) == 0) {
        return RefuseStatistics(copy, "the station takes two digits");
    }
    const int station = (copy[2] - '0') * 10 + (copy[3] - '0');
    if (station >= kStationCount) {
        return RefuseStatistics(copy, "station not 00 to 31");
    }
    for (int counter = 0; counter < kLineCounterCount; ++counter) {
        if (kLineCounterNames[counter] == std::string_view(copy + 4)) {
            SetInternal(rec, kStatisticsBase + station * kStatisticsStride + counter, 16);
            return kResultOk;
        }
    }
    return RefuseStatistics(copy, "no such counter");
}

// `copy` is the bounded, upper-cased copy of the text, `len` its length; it passed the
// character classes.
int32_t ParseEvent(const char* copy, std::size_t len, GateParseRecord& rec, DriverContext& ctx) {
    if (rec.gateType != kGateTypeDigital) {
        Log(kLogError, "MERIX> Gate should be defined as digital!");
        return kResultRefused;
    }
    int station = 0;
    if (std::sscanf(copy + 1, "%2d", &station) == 1) {
        rec.station = station;
    }
    // The station indexes the context's tables: only 1..31 may pass.
    if (station < 1 || station > kMaxEventStation) {
        Log(kLogError, "MERIX> Station %d should be in range(1...%d)", station, kMaxEventStation);
        return kResultRefused;
    }
    int number = 0;
    const bool haveNumber = len > 3 && std::sscanf(copy + 3, "%4d", &number) == 1;
    if (haveNumber) {
        rec.address = number;
    }
    if (!haveNumber || number < 0 || number > kMaxEventNumber) {
        Log(kLogError, "MERIX> Gate address %d should less than %d", number, kMaxEventNumber + 1);
        return kResultRefused;
    }
    rec.function = kEventFunction;
    rec.valueWidth = 1;
    rec.bitNumber = -1;
    ++ctx.eventCount[station];
    return kResultOk;
}

int32_t ParseOrdinary(const char* copy, std::size_t len, GateParseRecord& rec) {
    int station = 0;
    if (std::sscanf(copy, "%2d", &station) != 1 || station < 0) {
        RunTimeError(kAreaGates, kPlaceStation, 0);
        return kResultRefused;
    }
    rec.station = station;
    if (station == 0) {
        return kResultRefused;
    }
    int address = 0;
    // Position 3 lies inside the text only when it has four characters or more.
    if (len < 4 || std::sscanf(copy + 3, "%5d", &address) != 1 || address < 0) {
        RunTimeError(kAreaGates, kPlaceAddress, 0);
        return kResultRefused;
    }
    rec.address = address;
    rec.function = copy[2] - '0';
    if (rec.function < 0 || !ReadsGates(static_cast<uint8_t>(rec.function))) {
        RunTimeError(kAreaGates, kPlaceFunction, 0);
        return kResultRefused;
    }
    rec.bitNumber = -1;
    rec.valueWidth = ReadsRegisters(static_cast<uint8_t>(rec.function)) ? 16 : 1;
    return kResultOk;
}

} // namespace

bool IsEventAddress(const char* text) {
    return text != nullptr && (text[0] == 'E' || text[0] == 'e');
}

int MatchSpecialName(char* text, int32_t* station, int32_t* address) {
    if (text == nullptr || std::strchr(text, '$') == nullptr) {
        return kNoSpecialName;
    }
    char* name = text;
    // text[2] is read only when the first two characters are not the terminator.
    if (text[0] != '\0' && text[1] != '\0' && text[2] == '$') {
        int prefix = 0;
        if (!ScanHostField(text, 2, "%2d", &prefix) || prefix < 0) {
            return kNoSpecialName;
        }
        *station = prefix;
        name = text + 2;
    }
    for (char* p = name; *p != '\0'; ++p) {
        *p = UpperCase(*p);
    }
    for (int index = 1; index <= kSpecialNameCount; ++index) {
        *address = 0xFFFF - index;
        const char* candidate = kSpecialNames[index];
        if (std::strncmp(name, candidate, std::strlen(candidate)) == 0) {
            return index;
        }
    }
    return kNoSpecialName;
}

int32_t Parse(CallBlock* cb) {
    auto& rec = *static_cast<GateParseRecord*>(cb->params);
    const char* text = rec.addressString != nullptr ? rec.addressString : "";

    // The host's text may be of any length: look no further than one character past the
    // limit before deciding, and work on a bounded copy from then on.
    const std::size_t len = BoundedLength(text, kMaxAddressLength + 1);
    if (len > static_cast<std::size_t>(kMaxAddressLength)) {
        Log(kLogDetail, "MERIX> Parse() Gate string length too long %s (> %d)", text,
            kMaxAddressLength);
        return kResultRefused;
    }
    char copy[kMaxAddressLength + 1] = {};
    std::memcpy(copy, text, len);

    if (rec.gateType != kGateType0 && rec.gateType != kGateType1 &&
        rec.gateType != kGateTypeDigital) {
        RunTimeError(kAreaGates, kPlaceGateType, 0);
        Log(kLogError, "MERIX> %s illegal gate type used:%d.", copy, rec.gateType);
        return kResultRefused;
    }
    for (std::size_t i = 0; i < len; ++i) {
        copy[i] = UpperCase(copy[i]);
    }

    if (IsStatisticsName(copy)) {
        return ParseStatistics(copy, rec);
    }
    if (ParseInternal(copy, rec)) {
        return kResultOk;
    }

    for (std::size_t i = 0; i < len; ++i) {
        if (!InClass(kCharClasses[i], copy[i])) {
            Log(kLogError, "MERIX> Illegal char found %c in gate address string %s", copy[i], copy);
            RunTimeError(kAreaGates, kPlaceIllegalChar, static_cast<int32_t>(i));
            return kResultRefused;
        }
    }

    if (copy[0] == 'E') {
        return ParseEvent(copy, len, rec, *cb->context);
    }
    return ParseOrdinary(copy, len, rec);
}

int32_t SingleAddressParser(CallBlock* cb) {
    auto& rec = *static_cast<GateParseRecord*>(cb->params);
    if (MatchSpecialName(rec.addressString, &rec.station, &rec.address) != kNoSpecialName) {
        return kResultOk;
    }
    const int32_t result = Parse(cb);
    if (result != 0) {
        RunTimeError(kAreaGates, kPlaceSingle, result);
        return result;
    }
    if (rec.function == kInternalFunction || IsEventAddress(rec.addressString)) {
        return kResultOk;
    }
    if (rec.gateType == kGateType1 || rec.gateType == kGateTypeDigital) {
        // Parse accepted the text, so it is at most nine characters long; position 7 is
        // read only when the text reaches it.
        const char* text = rec.addressString;
        const bool reachesBit = BoundedLength(text, 8) == 8;
        if (reachesBit && text[7] == ' ') {
            return kResultOk;
        }
        int bit = 0;
        if (!reachesBit || !ScanHostField(text + 7, 1, "%1x", &bit)) {
            RunTimeError(kAreaGates, kPlaceBitNumber, 0);
            return kResultRefused;
        }
        rec.bitNumber = bit;
    }
    return kResultOk;
}

int32_t BlockAddressParser(CallBlock* cb) {
    auto& rec = *static_cast<GateParseRecord*>(cb->params);
    const int32_t result = Parse(cb);
    if (result != 0) {
        RunTimeError(kAreaGates, kPlaceBlock, result);
        return result;
    }
    if (rec.function == kInternalFunction) {
        return kResultFailed;
    }
    if (rec.function >= 0 && rec.function <= 0xFF &&
        ReadsRegisters(static_cast<uint8_t>(rec.function))) {
        return rec.blockLength <= kMaxRegisterBlock ? 0 : 2;
    }
    rec.valueWidth = 1;
    return rec.blockLength <= kMaxBitBlock ? 0 : 2;
}

} // namespace merix
