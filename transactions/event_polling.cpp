#include "transactions/event_polling.h"

#include <cstdint>
#include <cstdio>

#include "merix/qorlib.h"
#include "serial/com_port.h"
#include "serial/crc16.h"
#include "serial/receiver.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/host_result.h"
#include "transactions/delivered_blocks.h"
#include "transactions/event_delivery.h"
#include "transactions/retry_pass.h"
#include "transactions/station_entry.h"
#include "transactions/value_buffer.h"

namespace merix {

namespace {

constexpr RetryTexts kEventTexts{"MERIX> ReadEvent() : sRetry=%d, iRlen=%d",
                                 "MERIX> ReadEvent() Delay : Calc. %.3f, Prac. %.3f",
                                 "MERIX> ReadEvent() Wrong receive (still %d tries)"};

/// The host's event gates of the station that belong to this instance.
uint32_t CountEventGates(const DriverContext& ctx, int32_t st) {
    GateDefRecord templ{};
    templ.kind = 1;
    std::snprintf(templ.address, sizeof templ.address, "E%02d", st);
    uint32_t count = 0;
    int32_t found = 0;
    int32_t start = 0;
    while (HostResult(QorFindGateDef(0, start, &templ, 2, &found)) == 0) {
        if (found < start) {
            break; // the host went backwards: stop rather than loop for ever
        }
        GateDefRecord def{};
        QorGetGateDef(0, found, &def);
        if (def.driverIndex == ctx.vpiNumber - 1) {
            ++count;
        }
        if (found == INT32_MAX) {
            break; // the last index there is
        }
        start = found + 1;
    }
    return count;
}

bool OverflowMarker(const uint8_t* rx, uint32_t n) {
    return n >= 2 && rx[3 + n - 2] == 0xFF && rx[3 + n - 1] == 0xFF;
}

/// The bytes of a block that hold records: a trailing overflow marker is no partial record.
uint32_t RecordBytes(const uint8_t* rx, uint32_t n) {
    if (OverflowMarker(rx, n) && (n - 2) % kEventRecordSize == 0) {
        return n - 2;
    }
    return n;
}

/// A read that fails for good after asking for a repeat leaves the repeat to the next read:
/// a 0x42 may have taken a block off the controller that never arrived here, and a fresh
/// 0x42 would pass over it. Asking again is safe: a block already delivered is recognised.
int32_t FailRead(DriverContext& ctx, int32_t st) {
    if (ctx.fEF[st] == 0 && ctx.txBuf[1] == kEventRepeat) {
        ctx.fRE[st] = 1;
    }
    return 2;
}

/// The controller lost events: alert the operator, take the block off the controller and
/// re-initialise at the next read.
void HandleOverflow(CallBlock* cb, int32_t st) {
    DriverContext& ctx = *cb->context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb->params);
    Log(kLogDetail, "MERIX> ReadEvent() Buffer Overflow detected for PLC %d", st);
    char text[64];
    std::snprintf(text, sizeof text, "Overflow of event buffer Station Number %02d", st);
    const int rc = QorStartAlert(0, "OVF", text, 20, 0x40000000u, 10, 0, 48, 0, 0, 1, 0xFFFF,
                                 &ctx.ovfAlert[st]);
    const int length = BuildEventRequest(gate, ctx.txBuf, cb);
    Send(ctx, ctx.txBuf, length);
    ComPurge(ctx.hf);
    ctx.ovfPending[st] = 1;
    Log(kLogDetail, "MERIX> ReadEvent() Exits OVF Loop rc=%i ", rc & 0xFFFF);
}

} // namespace

int BuildEventRequest(const GateAccessRecord& gate, uint8_t* frame, CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const int32_t st = gate.station;
    if (!HasStationEntry(st)) {
        return 0; // no flags to choose by; ReadEvent refuses such a station before this
    }
    frame[0] = static_cast<uint8_t>(st);
    if (ctx.fEF[st] == 1) {
        const uint32_t count = CountEventGates(ctx, st);
        Log(kLogSummary, "BuildEventRequest() %d events found for PLC %d,Vpi %d", count, st,
            ctx.vpiNumber);
        ctx.eventCount[st] = count;
        frame[1] = kEventInit;
        frame[2] = 0x04;
        frame[3] = 0x00;
        frame[4] = 0x00;
        frame[5] = static_cast<uint8_t>(count >> 8);
        frame[6] = static_cast<uint8_t>(count);
        return 7;
    }
    if (ctx.fRE[st] == 1) {
        frame[1] = kEventRepeat;
        ctx.fRE[st] = 0;
        return 2;
    }
    frame[1] = kEventNext;
    return 2;
}

int32_t ReadEvent(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb->params);
    const int32_t st = gate.station;
    if (!HasStationEntry(st)) {
        Log(kLogError, "MERIX> ReadEvent() PLC %d is outside 0..%d: event read refused", st,
            kStationCount - 1);
        return 2;
    }
    if (ctx.plcState[st] == kSwitchedOff) {
        Log(kLogDetail, "MERIX> ReadEvent() Communication with PLC %d switched OFF", st);
        return 2;
    }
    ctx.fReadEvent = 1;
    if (ctx.ovfPending[st] == 1) {
        ctx.fEF[st] = 1;
    }
    int length = BuildEventRequest(gate, ctx.txBuf, cb);
    RetryState pass;
    const uint8_t* block = nullptr;
    uint32_t blockLength = 0;
    do {
        if (!pass.Begin(ctx, kEventTexts)) {
            pass.result = kPassWrongReply;
            break;
        }
        if (Send(ctx, ctx.txBuf, length) != 0) {
            pass.result = kPassFailed;
            if (pass.sRetry == 0) {
                Log(kLogDetail, "MERIX> ReadEvent() Send failed (PLC %d)", st);
                ctx.plcState[st] = kInError;
                return FailRead(ctx, st);
            }
            continue;
        }
        const int received = Receive(st, ctx, &pass.replyLength);
        if (received != kRxFrame) {
            if (ctx.fEF[st] == 0) {
                if (ctx.fRE[st] == 1) {
                    ctx.fRE[st] = 0;
                    Log(kLogDetail, "MERIX> ReadEvent() Rcv failed : fRE was YES");
                } else {
                    ctx.fRE[st] = 1;
                    Log(kLogDetail, "MERIX> ReadEvent() Receive : fEF=NO set fRE");
                }
                length = BuildEventRequest(gate, ctx.txBuf, cb);
            }
            if (received > kRxFailed) {
                pass.result = kPassWrongReply;
                continue;
            }
            pass.result = received;
            if (pass.sRetry == 0) {
                Log(kLogDetail, "MERIX> ReadEvent() Receive : sRetry=0 ret 2");
                ctx.plcState[st] = kInError;
                return FailRead(ctx, st);
            }
            continue;
        }
        const uint8_t f = ctx.rxBuf[1];
        if (!CrcMatches(ctx.rxBuf, static_cast<int>(pass.replyLength))) {
            if (pass.sRetry == 0) {
                Log(kLogDetail, "MERIX>  ReadEvent() wrong CRC  : sRetry=0 ret 2");
                ctx.plcState[st] = kInError;
                return FailRead(ctx, st);
            }
            if (ctx.fEF[st] == 0) {
                Log(kLogDetail, "MERIX> ReadEvent() wrong CRC fEF=NO set fRE (%xh, %d)", f, st);
                ctx.fRE[st] = 1;
                if (f == kRepeatRefused) {
                    Log(kLogDetail, "MERIX> ReadEvent() CRC ANL rp1 : Received C3");
                    ctx.fRE[st] = 0;
                    BuildEventRequest(gate, ctx.txBuf, cb);
                    return 0;
                }
                // The controller took the corrupted block off its buffer when it sent it:
                // ask for it again at once, or it is lost and the next one comes twice.
                length = BuildEventRequest(gate, ctx.txBuf, cb);
            } else {
                Log(kLogDetail, "MERIX> ReadEvent() wrong CRC fEF=YES ");
            }
            pass.result = kPassBad;
            continue;
        }
        if ((f & kExceptionBit) != 0 && f != kInitRefused) {
            pass.result = kPassBad;
            if (pass.sRetry == 0) {
                Log(kLogDetail, "MERIX> ReadEvent() ANL rp1 : sRetry=0 ret 2");
                ctx.plcState[st] = kInError;
                return FailRead(ctx, st);
            }
            if (f == kRepeatRefused) {
                Log(kLogDetail, "MERIX> ReadEvent() ANL rp1 : Received C3");
                ctx.fRE[st] = 0;
                BuildEventRequest(gate, ctx.txBuf, cb);
                return 0;
            }
            if (ctx.fEF[st] == 0) {
                Log(kLogDetail, "MERIX> ReadEvent() ANL rp1 set fRE");
                ctx.fRE[st] = 1;
                length = BuildEventRequest(gate, ctx.txBuf, cb);
            } else {
                Log(kLogDetail, "MERIX> ReadEvent() In ANL rp1 no condition met");
            }
            continue;
        }
        if (ctx.fEF[st] == 1) {
            SetValueWord(gate.valuePtr, 0);
            ctx.ovfPending[st] = 0;
            // The set-up emptied the controller's buffer: there is no block left to repeat.
            ctx.fRE[st] = 0;
            return Update_Events(cb, pass.replyLength);
        }
        // A good reply: its data is the block, bounded by what arrived.
        const uint32_t arrived = pass.replyLength >= 5 ? pass.replyLength - 5 : 0;
        const uint32_t n = ctx.rxBuf[2] < arrived ? ctx.rxBuf[2] : arrived;
        // A repeat is answered with the controller's last block, also when the request before
        // it never reached the controller or was refused: then that block is here already.
        const bool delivered = length == 2 && ctx.txBuf[1] == kEventRepeat &&
                               IsDeliveredBlock(ctx, st, ctx.rxBuf + 3, n);
        if (!delivered && OverflowMarker(ctx.rxBuf, n) && ctx.ovfAlert[st] == kNoAlert) {
            HandleOverflow(cb, st);
            return 1;
        }
        if (ctx.ovfAlert[st] != kNoAlert) {
            QorStampAlert(0, 1, ctx.ovfAlert[st], 4, 0, 0, 0);
            ctx.ovfAlert[st] = kNoAlert;
            Log(kLogDetail, "MERIX> ReadEvent() Buffer overflow ended for PLC %d", st);
        }
        if (delivered) {
            Log(kLogDetail,
                "MERIX> ReadEvent() repeat brought the block of %u bytes already delivered "
                "(PLC %d): not delivered again",
                n, st);
            ctx.fReadEvent = 0;
            return 0;
        }
        block = ctx.rxBuf + 3;
        blockLength = n;
        pass.result = kPassOk;
    } while (!pass.Done());

    if (pass.result != kPassOk) {
        Log(kLogDetail, "MERIX> ReadEvent() Data NOT retrieved (rc=2)");
        return FailRead(ctx, st);
    }
    RememberDeliveredBlock(ctx, st, block, blockLength);
    return DeliverEventBlock(cb, block, RecordBytes(ctx.rxBuf, blockLength));
}

} // namespace merix
