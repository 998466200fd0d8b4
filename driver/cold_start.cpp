// ColdStart: starting values of an instance, character timing, the initialisation file,
// the counter check and the open.
#include <cstring>

#include "config/ini_file.h"
#include "driver/commands.h"
#include "driver/context_check.h"
#include "driver/port_lifecycle.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/line_capture.h"
#include "serial/line_trace.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"
#include "services/run_time_error.h"
#include "services/time_critical.h"
#include "transactions/delivered_blocks.h"
#include "transactions/write_journal.h"

namespace merix {

namespace {

void InitStationTables(DriverContext& ctx) {
    for (int s = 0; s < kStationCount; ++s) {
        ctx.evtConflictAlert[s] = kNoAlert;
        ctx.ovfAlert[s] = kNoAlert;
        ctx.plcState[s] = kCommunicating;
        ctx.fEF[s] = 1;
        ctx.ovfPending[s] = 0;
        ctx.eventCount[s] = 0;
    }
}

/// Diagnostic only: how fine the counter is and how far a busy-wait of the transmitter's
/// kind overshoots. Results go to the log.
void CalibrateCounter(const DriverContext& ctx) {
    TimeCriticalSection timeCritical("ColdStart");
    int64_t t0 = 0;
    int64_t t1 = 0;
    plat::QueryPerformanceCounter(&t0);
    plat::QueryPerformanceCounter(&t1);
    Log(kLogDetail, "MERIX> ColdStart() Resolution QPC() %f", static_cast<double>(t1 - t0));

    const int64_t target =
        t0 +
        static_cast<int64_t>((ctx.fDelay + 10.0f) * static_cast<float>(ctx.perfFrequency) * 0.001f);
    int64_t now = 0;
    uint32_t reads = 0;
    // A counter that fails would never pass the target: the calibration ends with it.
    do {
        if (!plat::QueryPerformanceCounter(&now)) {
            break;
        }
        ++reads;
    } while (now < target);
    Log(kLogDetail, "MERIX> ColdStart() Freq: %f, Difference QPC() %f, Index %u",
        static_cast<double>(ctx.perfFrequency), static_cast<double>(now - target), reads);

    // With the 1 ms period held, Sleep(1) takes one to two ms. Windows 11 may ignore the
    // period of a process without a visible window: then it takes a whole 15.6 ms tick, and
    // so does every gap and pause on the line. The log shows which PC that is.
    int64_t before = 0;
    int64_t after = 0;
    if (plat::QueryPerformanceCounter(&before)) {
        plat::Sleep(1);
        plat::QueryPerformanceCounter(&after);
        Log(kLogDetail, "MERIX> ColdStart() Sleep(1) took %.3f ms",
            static_cast<double>(after - before) * 1000.0 / static_cast<double>(ctx.perfFrequency));
    }
}

void ReleaseForColdStart(InstanceRoom& room) {
    ReleaseHeldPort(room, "ColdStart");
}

/// What the library keeps of the instance outside its context, claimed afresh; one line for
/// an instance that gets none of it.
void ClaimRooms(const DriverContext& ctx) {
    const bool port = ClaimInstanceRoom(ctx) != nullptr;
    const bool blocks = PrepareDeliveredBlocks(ctx);
    const bool counts = PrepareLineStatistics(ctx);
    if (!port || !blocks || !counts) {
        Log(kLogError, "MERIX> ColdStart() no memory for instance %u:%s%s%s", ctx.vpiNumber,
            port ? "" : " the port is not opened;",
            blocks ? "" : " a repeated event block may be delivered twice;",
            counts ? "" : " the line statistics read 0;");
    }
}

/// Character time, and the gap and hold correction that suit it, from the host's parameters.
void SetCharacterTiming(DriverContext& ctx, const StartParams& sp) {
    ctx.msecPerChar = CharacterTime(sp.baud, sp.dataBits, sp.stopBits, sp.parity);
    Log(kLogDetail, "MERIX> Theoretecly # msec per character = %.3f",
        static_cast<double>(ctx.msecPerChar));
    if (sp.baud == 0) {
        Log(kLogError, "MERIX> ColdStart() baud rate 0 gives no character time: port not opened");
    }
    ctx.IFG = DefaultGap(ctx.msecPerChar);
    ctx.fDelay = DefaultFDelay(sp.baud);
}

void QueryCounter(DriverContext& ctx) {
    int64_t frequency = 0;
    if (!plat::QueryPerformanceFrequency(&frequency) || frequency <= 0) {
        Log(kLogError, "MERIX> Send() High Resolution Counter not supported");
        frequency = 0;
    }
    ctx.perfFrequency = frequency;
    if (ctx.debugFlag != 0 && ctx.perfFrequency > 0) {
        CalibrateCounter(ctx);
    }
}

/// Saves the host's port parameters for every later open and opens the port; the handle, or 0.
uint32_t OpenStartPort(DriverContext& ctx, const StartParams& sp) {
    PortParams& p = ctx.portParams;
    const bool nameFits = PortNameFits(sp.portName);
    if (nameFits) {
        std::memcpy(p.portName, sp.portName, kPortNameSize);
    } else {
        // Cutting the name could open another device; an empty name makes every later
        // reopen fail cleanly instead.
        Log(kLogError,
            "MERIX> ColdStart() port name empty or longer than %d characters: "
            "port not opened",
            static_cast<int>(kPortNameSize) - 1);
        std::memset(p.portName, 0, kPortNameSize);
    }
    p.baud = sp.baud;
    p.dataBits = static_cast<uint16_t>(sp.dataBits);
    p.stopBits = static_cast<uint16_t>(sp.stopBits);
    p.parity = static_cast<uint16_t>(sp.parity);
    p.lineMask = static_cast<uint16_t>(ctx.RecMask & 0xFFFF);
    uint32_t handle = 0;
    if (nameFits && sp.baud != 0) {
        handle = OpenSavedPort(ctx);
    }
    if (handle == 0) {
        RunTimeError(kAreaPort, kPlaceColdStartOpen, 0);
    } else {
        ComSetTimeout(handle, static_cast<int>(ctx.replyTimeout));
    }
    return handle;
}

} // namespace

int32_t ColdStart(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const auto& sp = *static_cast<const StartParams*>(cb->params);

    // Ports this library opened in this memory, for whichever instance, and for this instance
    // in memory the host has let go or given to another: exclusive, so they would refuse the
    // open below. Their handles come from the rooms, never from `hf`, which holds whatever
    // the host's memory held before.
    RetireInstanceRooms(ctx, cb->driverNumber, ReleaseForColdStart);
    // The files of the instance that used this memory before end now too: what this start
    // records, its port's open first, goes into this instance's own.
    ctx.vpiNumber = cb->driverNumber;
    RetireLineRecordings(ctx);
    ForgetStrayNotices(ctx);
    ctx.comOn = sp.comOn;
    ctx.replyTimeout = sp.replyTimeout;
    ctx.hf = 0;
    ctx.debugFlag = 0;
    // Host memory may hold anything: a leftover flag would give ordinary reads the event
    // reads' tolerance of a reply cut after its header.
    ctx.fReadEvent = 0;
    Log(kLogDetail, "MERIX> version compiled on Nov 24 2002 at time 17:08:47");
    InitStationTables(ctx);
    ClaimRooms(ctx);
    Log(kLogDetail, "MERIX> ColdStart(), Data %d, SB %d, P %d, Baud %hu", sp.dataBits, sp.stopBits,
        sp.parity, sp.baud);
    SetCharacterTiming(ctx, sp);

    InstanceSettings without; // an instance without room still reads its file
    InstanceRoom* room = FindInstanceRoom(ctx);
    InstanceSettings& settings = room != nullptr ? room->settings : without;
    ReadIntFile(cb, &settings);
    QueryCounter(ctx);

    const uint32_t handle = ctx.comOn != 0 ? OpenStartPort(ctx, sp) : 0;
    Log(kLogDetail, "MERIX> ColdStart(), comOn=%d, hf=%d", ctx.comOn, handle);
    StartLineTrace(ctx, settings.trace.path, settings.trace.maxMiB);
    StartLineCapture(ctx, settings.trace.capturePath, settings.trace.maxMiB);
    // The journal the instance kept before ends here, whatever this start asks for.
    StartWriteJournal(ctx, settings);
    return kResultOk;
}

} // namespace merix
