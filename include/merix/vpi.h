// Binary interface between a host application and the merix driver library.
//
// The host interface is 32-bit: on a 32-bit build every record has exactly the host's
// layout. On 64-bit builds the records keep their field order with native pointers; the
// fields behind a pointer are declared alignas(8) so that their offsets stay the same.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define MERIX_CDECL __cdecl
#else
#define MERIX_CDECL
#endif

namespace merix {

inline constexpr int kStationCount = 32;    ///< entries of every station table (stations 0..31)
inline constexpr int kMaxEventStation = 31; ///< highest station on a line
inline constexpr std::size_t kTxBufSize = 256;
inline constexpr std::size_t kRxBufSize = 300;
inline constexpr std::size_t kPortNameSize = 12; ///< 11 characters and the terminating zero

/// What VpiMain and every command answer.
enum CommandResult : int32_t {
    kResultOk = 0,
    kResultRefused =
        1,             ///< bad gate or value, refused by the controller, unsupported, port not open
    kResultFailed = 2, ///< communication failed, station switched off, command code rejected
    kResultWrongReply = 3, ///< a write's reply did not match its request
};

/// A station's communication state, in DriverContext::plcState.
enum PlcState : uint32_t {
    kCommunicating = 0,
    kInError = 1,    ///< a read or event read failed for good; WarmStart recovers it
    kSwitchedOff = 2 ///< by the host, through the station's "HIMA" internal gate
};

/// The alert id in DriverContext::evtConflictAlert and ovfAlert while no alert is open.
inline constexpr uint32_t kNoAlert = 0xFFFF;

/// Port parameters kept for every (re)open of the port.
struct PortParams {
    char portName[kPortNameSize];
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits; ///< 0 one, 1 one and a half, 2 two
    uint16_t parity;   ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint16_t lineMask; ///< DTR/RTS state while the port is open (0x0101 DTR, 0x0202 RTS)
};
static_assert(sizeof(PortParams) == 22);

/// The whole state of one driver instance. The host allocates it with the size that
/// GetVpiInfo announces; the driver alone interprets its content. The layout and the field
/// names are an interface: hosts allocate it and tools read it, so neither changes.
struct DriverContext {
    uint32_t replyTimeout; ///< total read timeout while a reply is awaited, 10 ms units
    uint32_t vpiNumber;    ///< the host's instance number (names the file MERIXnn.INT/.INI)
    uint32_t comOn;        ///< the port is wanted open
    uint32_t hf;           ///< open port handle, 0 = none
    PortParams portParams; ///< what every (re)open of the port uses
    uint32_t fixedReply;   ///< a write is running: the reply is the 8-byte echo
    /// An event read is under way: the receiver takes a reply cut short as it is. It returns
    /// to 0 only when a block has been delivered to its end; a read that ends otherwise leaves
    /// it at 1, and the receiver stays that tolerant for every transaction until the next
    /// complete delivery. Kept so: hosts and their lines have always run with it.
    uint32_t fReadEvent;
    uint32_t evtConflictAlert[kStationCount]; ///< open event-count conflict alert, or kNoAlert
    uint32_t ovfAlert[kStationCount];         ///< open event-buffer overflow alert, or kNoAlert
    uint32_t plcState[kStationCount];         ///< a PlcState
    uint32_t fRE[kStationCount];              ///< 1: the next event request is the repeat (0x43)
    uint32_t fEF[kStationCount];              ///< 1: the next event request is the set-up (0x41)
    uint32_t ovfPending[kStationCount];       ///< 1: an overflow was handled; the set-up follows
    uint32_t eventCount[kStationCount];       ///< event gates of the station, sent with the set-up
    uint32_t SendMask;                        ///< DTR/RTS while a request is sent (a line mask)
    uint32_t RecMask;                         ///< DTR/RTS while a reply is awaited (a line mask)
    uint8_t txBuf[kTxBufSize];                ///< the request being sent, CRC appended
    uint8_t rxBuf[kRxBufSize];                ///< the reply as it arrived
    float msecPerChar;                        ///< one character's time on the line, ms
    float fDelay;    ///< extra hold of the lines after a frame, ms (may be negative)
    float calcDelay; ///< the last frame's planned hold, ms
    float pracDelay; ///< the last frame's measured hold, ms
    alignas(8) int64_t perfFrequency; ///< counts per second of the performance counter; 0: none
    uint8_t debugFlag;                ///< 1: detail lines of every operation
    uint16_t IFG;                     ///< quiet time before each request, ms
};

static_assert(sizeof(DriverContext) == 1544, "the host allocates exactly 1544 bytes");
static_assert(offsetof(DriverContext, replyTimeout) == 0);
static_assert(offsetof(DriverContext, vpiNumber) == 4);
static_assert(offsetof(DriverContext, comOn) == 8);
static_assert(offsetof(DriverContext, hf) == 12);
static_assert(offsetof(DriverContext, portParams) == 16);
static_assert(offsetof(DriverContext, portParams) + offsetof(PortParams, baud) == 28);
static_assert(offsetof(DriverContext, portParams) + offsetof(PortParams, lineMask) == 36);
static_assert(offsetof(DriverContext, fixedReply) == 40);
static_assert(offsetof(DriverContext, fReadEvent) == 44);
static_assert(offsetof(DriverContext, evtConflictAlert) == 48);
static_assert(offsetof(DriverContext, ovfAlert) == 176);
static_assert(offsetof(DriverContext, plcState) == 304);
static_assert(offsetof(DriverContext, fRE) == 432);
static_assert(offsetof(DriverContext, fEF) == 560);
static_assert(offsetof(DriverContext, ovfPending) == 688);
static_assert(offsetof(DriverContext, eventCount) == 816);
static_assert(offsetof(DriverContext, SendMask) == 944);
static_assert(offsetof(DriverContext, RecMask) == 948);
static_assert(offsetof(DriverContext, txBuf) == 952);
static_assert(offsetof(DriverContext, rxBuf) == 1208);
static_assert(offsetof(DriverContext, msecPerChar) == 1508);
static_assert(offsetof(DriverContext, fDelay) == 1512);
static_assert(offsetof(DriverContext, calcDelay) == 1516);
static_assert(offsetof(DriverContext, pracDelay) == 1520);
static_assert(offsetof(DriverContext, perfFrequency) == 1528);
static_assert(offsetof(DriverContext, debugFlag) == 1536);
static_assert(offsetof(DriverContext, IFG) == 1538);

/// The record passed with every call of VpiMain. The driver never writes it.
struct CallBlock {
    DriverContext* context;
    uint32_t command;
    uint32_t driverNumber;
    uint32_t reserved;
    void* params;
};

/// GateRecord as the two parse commands see it.
struct GateParseRecord {
    char* addressString;
    alignas(8) int32_t gateType;
    int32_t blockLength;
    int32_t station;
    int32_t function;
    int32_t address;
    int32_t bitNumber;
    int32_t valueWidth;
};
static_assert(offsetof(GateParseRecord, gateType) == 8);
static_assert(offsetof(GateParseRecord, blockLength) == 12);
static_assert(offsetof(GateParseRecord, station) == 16);
static_assert(offsetof(GateParseRecord, function) == 20);
static_assert(offsetof(GateParseRecord, address) == 24);
static_assert(offsetof(GateParseRecord, bitNumber) == 28);
static_assert(offsetof(GateParseRecord, valueWidth) == 32);

/// GateRecord as the read, write and event commands see it.
struct GateAccessRecord {
    char* addressString;
    alignas(8) int32_t station;
    int32_t function;
    int32_t address;
    int32_t reserved20;
    int32_t reserved24;
    int32_t gateType;
    int32_t count;
    uint32_t hostWord; ///< passed unchanged to QorUnCook
    void* valuePtr;    ///< single value: 16-bit word at byte 2; block: from byte 0
};
static_assert(offsetof(GateAccessRecord, station) == 8);
static_assert(offsetof(GateAccessRecord, function) == 12);
static_assert(offsetof(GateAccessRecord, address) == 16);
static_assert(offsetof(GateAccessRecord, gateType) == 28);
static_assert(offsetof(GateAccessRecord, count) == 32);
static_assert(offsetof(GateAccessRecord, hostWord) == 36);
static_assert(offsetof(GateAccessRecord, valuePtr) == 40);

/// ColdStart's parameter record.
struct StartParams {
    char portName[kPortNameSize];
    uint32_t comOn;
    uint32_t replyTimeout;
    uint16_t baud;
    int16_t dataBits;
    int16_t stopBits;
    int16_t parity;
};
static_assert(sizeof(StartParams) == 28);
static_assert(offsetof(StartParams, baud) == 20);
static_assert(offsetof(StartParams, parity) == 26);

/// ChangeVpiParams' parameter record. A reply timeout of 0 or 0xFFFFFFFF keeps the old one.
struct ChangeParams {
    char portName[kPortNameSize];
    uint32_t replyTimeout;
};
static_assert(sizeof(ChangeParams) == 16);

/// WarmStart's parameter record.
struct StationArg {
    uint32_t station;
};

/// GetVpiInfo's record, written by the driver.
struct VpiInfo {
    uint32_t fixed70;
    const char* description;
    const char* banner;
    uint32_t contextSize;
    uint32_t fixed4;
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
    uint32_t fixed1;
};

/// The host's gate definition, as QorGetGateDef copies it out.
struct GateDefRecord {
    uint8_t hostData[164];
    uint8_t kind; ///< 1 in a search template
    uint8_t pad[3];
    uint32_t driverIndex; ///< number of the owning driver minus 1
    char address[156];
};
static_assert(sizeof(GateDefRecord) == 328);
static_assert(offsetof(GateDefRecord, kind) == 164);
static_assert(offsetof(GateDefRecord, driverIndex) == 168);
static_assert(offsetof(GateDefRecord, address) == 172);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(CallBlock, command) == 4);
static_assert(offsetof(CallBlock, driverNumber) == 8);
static_assert(offsetof(CallBlock, params) == 16);
static_assert(offsetof(VpiInfo, description) == 4);
static_assert(offsetof(VpiInfo, banner) == 8);
static_assert(offsetof(VpiInfo, contextSize) == 12);
static_assert(offsetof(VpiInfo, fixed4) == 16);
static_assert(offsetof(VpiInfo, baud) == 20);
static_assert(offsetof(VpiInfo, parity) == 26);
static_assert(offsetof(VpiInfo, fixed1) == 28);
#endif

/// Command codes of VpiMain.
enum Command : uint32_t {
    kColdStart = 1,
    kWarmStart = 2,
    kSingleAddressParser = 3,
    kBlockAddressParser = 4,
    kSingleRead = 5,
    kBlockRead = 6,
    kSingleWrite = 7,
    kBlockWrite = 10,
    kEndVpi = 11,
    kCloseCom = 12,
    kReOpenCom = 13,
    kGetVpiInfo = 14,
    kChangeVpiParams = 15,
};

} // namespace merix

extern "C" {
/// The driver's only export.
///
/// Threading: the host calls VpiMain from one thread at a time; calls of different
/// instances are no exception. Each command runs to its end on the caller's thread and
/// blocks it for the whole transaction with its retries (seconds, for a silent station). The
/// driver creates no threads and takes no locks: it keeps state that every instance shares
/// (the stop flag of EndVpi, the command timers, the line traces, the last event blocks
/// delivered), so two threads inside VpiMain at once are not allowed, even with two
/// contexts. A host that scans several lines from several threads must serialise its calls.
/// During each frame's line hold the calling thread runs at time-critical priority; it is
/// back at its own priority when VpiMain returns.
int32_t MERIX_CDECL VpiMain(merix::CallBlock* callBlock);
using VpiMainFn = int32_t(MERIX_CDECL*)(merix::CallBlock*);
}
