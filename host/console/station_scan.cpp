#include "host/console/station_scan.h"

#include <cstring>

#include <fmt/format.h>

namespace merixhost {
namespace {

constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kExceptionBit = 0x80;

/// The exception code of the reply the driver last took, when it is `station`'s exception to
/// a register read; the context's reply buffer is part of the host's record.
int ExceptionCode(const merix::DriverContext& context, int station) {
    const uint8_t* rx = context.rxBuf;
    if (rx[0] == station && rx[1] == (kReadHoldingRegisters | kExceptionBit)) {
        return rx[2];
    }
    return -1;
}

} // namespace

std::string AnswerText(const ProbeResult& result) {
    switch (result.answer) {
    case StationAnswer::Value:
        return std::to_string(result.value);
    case StationAnswer::Exception:
        return result.exceptionCode >= 0 ? fmt::format("exception {}", result.exceptionCode)
                                         : "exception";
    case StationAnswer::None:
        break;
    }
    return "-";
}

bool StationProbe::Prepare(const std::vector<int>& stations) {
    counted_ = statistics_.Prepare(driver_, stations);
    return counted_;
}

uint32_t StationProbe::Delta(int station, Counter counter) const {
    const auto then = before_[static_cast<size_t>(station)].Get(counter);
    const auto now = after_[static_cast<size_t>(station)].Get(counter);
    // The host word carries 16 bits of each count.
    return then && now ? static_cast<uint16_t>(*now - *then) : 0;
}

ProbeResult StationProbe::Probe(int station) {
    ProbeResult out;
    out.station = station;
    // The address as the driver parses it: station, function 3, five digits of address.
    std::string text = fmt::format("{:02}3{:05}", station, scanRegister_);
    text.resize(16, '\0');
    merix::GateParseRecord parsed{};
    parsed.addressString = text.data();
    parsed.gateType = 0;
    parsed.bitNumber = -1;
    if (driver_.ParseSingle(parsed) != 0) {
        return out;
    }
    uint8_t value[4] = {};
    merix::GateAccessRecord rec{};
    rec.addressString = text.data();
    rec.station = parsed.station;
    rec.function = parsed.function;
    rec.address = parsed.address;
    rec.gateType = 0;
    rec.count = 1;
    rec.valuePtr = value;
    if (counted_) {
        statistics_.Read(driver_, before_);
    }
    const int32_t result = driver_.Read(rec);
    if (counted_) {
        statistics_.Read(driver_, after_);
    }
    if (result == 0) {
        out.answer = StationAnswer::Value;
        std::memcpy(&out.value, value + 2, sizeof out.value);
    } else if (Delta(station, Counter::kException) > 0) {
        out.answer = StationAnswer::Exception;
        out.exceptionCode = ExceptionCode(driver_.Context(), station);
    }
    for (const Counter c :
         {Counter::kCrc, Counter::kWrong, Counter::kShort, Counter::kFraming, Counter::kParity}) {
        out.garbled = out.garbled || Delta(station, c) > 0;
    }
    out.echoFaults = Delta(station, Counter::kEcho);
    if (out.Found()) {
        out.turnaroundUs = after_[static_cast<size_t>(station)].Get(Counter::kTurnaround);
    }
    return out;
}

} // namespace merixhost
