#include "transactions/event_delivery.h"

#include <cstdio>

#include "merix/qorlib.h"
#include "serial/protocol.h"
#include "services/host_log.h"
#include "services/host_result.h"
#include "services/line_statistics.h"
#include "transactions/station_entry.h"

namespace merix {

namespace {

constexpr time_t kHour = 60 * 60;
constexpr time_t kLatest = 22 * kHour; ///< how late an event may be collected
constexpr time_t kAhead = 2 * kHour;   ///< how far the controller's clock may run ahead
constexpr int kPutGateValue = 2;

int32_t EventStation(const CallBlock* cb) {
    return static_cast<const GateAccessRecord*>(cb->params)->station;
}

/// Looks up the host's gate "E<station><event>"; false when it does not exist.
bool FindEventGate(const DriverContext& ctx, int32_t station, uint32_t event, char (&text)[16],
                   uint32_t* gateId) {
    std::snprintf(text, sizeof text, "E%02d%04u", station, event);
    return HostResult(
               QorGetGateIdByAddressStr(0, static_cast<uint8_t>(ctx.vpiNumber), text, gateId)) == 0;
}

tm ToTm(const plat::LocalTime& t) {
    tm out{};
    out.tm_year = t.year - 1900;
    out.tm_mon = t.month - 1;
    out.tm_mday = t.day;
    out.tm_hour = t.hour;
    out.tm_min = t.minute;
    out.tm_sec = t.second;
    out.tm_isdst = t.isDst;
    return out;
}

} // namespace

time_t EventTime(const plat::LocalTime& now, int hour, int minute, int second) {
    tm today = ToTm(now);
    const time_t nowSeconds = mktime(&today);
    // The stamp on the day `offset` days from today; each day by itself, since it may lie on
    // the other side of a daylight-saving change.
    const auto on = [&](int offset) {
        tm stamped = ToTm(now);
        stamped.tm_mday += offset;
        stamped.tm_hour = hour;
        stamped.tm_min = minute;
        stamped.tm_sec = second;
        stamped.tm_isdst = -1;
        return mktime(&stamped);
    };
    // The record carries no date: it takes the one that puts it in (now - 22 h, now + 2 h].
    // An event is in the past, collected up to 22 h late after a line outage, unless the
    // controller's clock runs a little ahead (a late synchronisation, or a daylight-saving
    // change before the next one). Today first: on a 23-hour day two dates can fit. On a
    // 25-hour day an hour fits none, and the past is likelier than the future.
    const time_t stamp = on(0);
    if (stamp - nowSeconds > kAhead) {
        return on(-1);
    }
    if (stamp - nowSeconds <= -kLatest) {
        const time_t tomorrow = on(1);
        if (tomorrow - nowSeconds <= kAhead) {
            return tomorrow;
        }
    }
    return stamp;
}

int DeliverEventBlock(CallBlock* cb, const uint8_t* block, uint32_t n) {
    DriverContext& ctx = *cb->context;
    const int32_t st = EventStation(cb);
    const uint32_t whole = n - n % kEventRecordSize;
    if (whole != n) {
        Log(kLogError,
            "MERIX> ReadEvent() block of %u bytes ends in a partial record of %u "
            "bytes (PLC %d), not delivered",
            n, n - whole, st);
    }
    const plat::LocalTime now = plat::Now();
    for (uint32_t offset = 0; offset < whole; offset += kEventRecordSize) {
        const uint8_t* rec = block + offset;
        const uint16_t event = EventNumber({rec, kEventRecordSize}, 0);
        if (event > kMaxEventNumber) {
            Log(kLogError, "MERIX> In Read Event, got illegal event num %d", event);
            return kResultRefused;
        }
        if (rec[2] > 1) {
            Log(kLogDetail, "MERIX> In Read Event, got illegal value %d", rec[2]);
            return kResultRefused;
        }
        const time_t seconds = EventTime(now, rec[7], rec[6], rec[5]);
        const auto millis = static_cast<uint16_t>(rec[3] + 100 * rec[4]);
        char text[16];
        uint32_t gateId = 0;
        if (!FindEventGate(ctx, st, event, text, &gateId)) {
            Log(kLogDetail, "MERIX> ReadEvent() Gate with address string '%s'is probably deleted",
                text);
            Log(kLogDetail, "MERIX> Missing event gate E%02d%04d", st, event);
            continue;
        }
        const int rc = HostResult(
            QorPutGateVal(0, gateId, kPutGateValue, rec[2], static_cast<int32_t>(seconds), millis));
        CountLine(ctx, st, LineCounter::kEvents);
        if (rc != 0) {
            Log(kLogDetail, "MERIX> UPDATEGATE  QPGV failed rc = %d \n", rc);
        }
    }
    ctx.fReadEvent = 0;
    return kResultOk;
}

int Update_Events(CallBlock* cb, uint32_t replyLength) {
    DriverContext& ctx = *cb->context;
    const int32_t st = EventStation(cb);
    if (!HasStationEntry(st)) {
        return kResultOk; // ReadEvent refuses such a station before it gets here
    }
    const uint32_t count = ctx.eventCount[st] & 0xFFFF;
    const uint8_t f = ctx.rxBuf[1];

    if (ctx.debugFlag != 0) {
        Log(kLogDetail, "MERIX> Update_Events() %d events for PLC %d", count, st);
    }
    if (f == kInitRefused && ctx.evtConflictAlert[st] == kNoAlert) {
        char text[64];
        std::snprintf(text, sizeof text, "Num of Evts conflict with PLC %2u Configuration",
                      static_cast<unsigned>(st));
        plat::Beep(1000, 1000);
        QorStartAlert(0, "EVT_ERR", text, 20, 0xE0000000u, 10, 0, 16, 0, 0, 1, 0xFFFF,
                      &ctx.evtConflictAlert[st]);
        Log(kLogError, "MERIX> Update_Events() Nr. of events conflicts with config. in PLC %u",
            static_cast<unsigned>(st));
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, "MERIX> Update_Events() AlertId :%d, buff[1]= %02X",
                ctx.evtConflictAlert[st], f);
        }
        return kResultOk;
    }
    Log(kLogDetail, "MERIX> Update_Events() rep_buff[1] = %02x", f);
    if (f == kInitRefused) {
        return kResultOk;
    }
    if (ctx.evtConflictAlert[st] != kNoAlert) {
        Log(kLogDetail, "MERIX> Update_Events() Num of Evts conflict with PLC %u solved",
            static_cast<unsigned>(st));
        QorStampAlert(0, 1, ctx.evtConflictAlert[st], 4, 0, 0, 0);
        ctx.evtConflictAlert[st] = kNoAlert;
    }
    // The bitmap is the data of the reply: never read past the bytes that arrived.
    const uint32_t bitmapBytes = ReplyDataLength(ctx.rxBuf[2], replyLength);
    if (count > bitmapBytes * 8) {
        Log(kLogError, "MERIX> Update_Events() bitmap of %u bytes holds %u of %u events of PLC %d",
            bitmapBytes, bitmapBytes * 8, count, st);
    }
    for (uint32_t i = 0; i < count && i / 8 < bitmapBytes; ++i) {
        char text[16];
        uint32_t gateId = 0;
        if (!FindEventGate(ctx, st, i, text, &gateId)) {
            Log(kLogDetail, "MERIX> Update_Events() No gate Id for '%s'", text);
            continue;
        }
        const int state = (ctx.rxBuf[3 + i / 8] >> (i % 8)) & 1;
        QorPutGateVal(0, gateId, kPutGateValue, state, 0, 0);
    }
    ctx.fEF[st] = 0;
    return kResultOk;
}

} // namespace merix
