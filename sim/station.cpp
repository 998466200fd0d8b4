#include "sim/station.h"

namespace h51sim {

namespace {

Response Exception(uint8_t function, uint8_t code) {
    Response r;
    r.kind = Response::Kind::Exception;
    r.function = function;
    r.exceptionCode = code;
    return r;
}

Response Data(uint8_t function, std::vector<uint8_t> data) {
    Response r;
    r.kind = Response::Kind::Data;
    r.function = function;
    r.data = std::move(data);
    return r;
}

template <typename T> std::optional<T> At(const std::vector<T>& table, uint32_t address) {
    if (address >= table.size()) {
        return std::nullopt;
    }
    return table[address];
}

template <typename T> bool Put(std::vector<T>& table, uint32_t address, T value) {
    if (address >= table.size()) {
        return false;
    }
    table[address] = value;
    return true;
}

} // namespace

bool ValidateStationConfig(const StationConfig& c, const char** why) {
    const char* reason = nullptr;
    if (c.address < 1 || c.address > 31) {
        reason = "station address must be 1 to 31";
    } else if (c.coils > kMaxTableSize || c.discreteInputs > kMaxTableSize ||
               c.holdingRegisters > kMaxTableSize || c.inputRegisters > kMaxTableSize) {
        reason = "a table holds at most 65536 entries";
    } else if (c.eventGates > kMaxEventGates) {
        reason = "at most 2048 event gates";
    } else if (!(c.eventRate >= 0.0) || c.eventRate > 1e6) {
        reason = "event rate must be 0 to 1e6 per second";
    }
    if (why != nullptr) {
        *why = reason;
    }
    return reason == nullptr;
}

Station::Station(const StationConfig& config)
    : config_(config), coils_(config.coils), inputs_(config.discreteInputs),
      registers_(config.holdingRegisters), inputRegisters_(config.inputRegisters),
      events_(config.eventGates, config.eventCapacity) {}

Response Station::Execute(const Request& r, bool broadcast, Steady::time_point now) {
    if (broadcast) {
        // Modbus broadcasts are writes that nobody answers; reads make no sense to all.
        switch (r.function) {
        case kWriteSingleCoil:
            (void)WriteCoil(r);
            break;
        case kWriteSingleRegister:
            (void)WriteRegister(r);
            break;
        case kTimeSync:
            if (const auto t = TimeFromSyncBytes(r.time);
                t && r.byteCount == merix::kClockFieldSize) {
                clock_.Set(*t, now);
            }
            break;
        default:
            break;
        }
        return Response{};
    }
    switch (r.function) {
    case kReadCoils:
        return ReadBits(r, coils_);
    case kReadDiscreteInputs:
        return ReadBits(r, inputs_);
    case kReadHoldingRegisters:
        return ReadRegisters(r, registers_);
    case kReadInputRegisters:
        return ReadRegisters(r, inputRegisters_);
    case kWriteSingleCoil:
        return WriteCoil(r);
    case kWriteSingleRegister:
        return WriteRegister(r);
    case kEventInit:
        return EventInit(r);
    case kEventNext:
        return Data(r.function, events_.NextBlock());
    case kEventRepeat:
        return EventRepeat(r);
    case kTimeSync:
        // Time synchronisation is a broadcast function: a station addressed on its own takes
        // the time but, as for the broadcast, does not answer.
        if (const auto t = TimeFromSyncBytes(r.time); t && r.byteCount == merix::kClockFieldSize) {
            clock_.Set(*t, now);
        }
        return Response{};
    default:
        return Exception(r.function, kIllegalFunction);
    }
}

Response Station::ReadBits(const Request& r, const std::vector<uint8_t>& table) {
    // Modbus application protocol 6.1/6.2: quantity first (code 3), then the range (code 2).
    if (r.count < 1 || r.count > kMaxReadBits) {
        return Exception(r.function, kIllegalDataValue);
    }
    if (static_cast<uint32_t>(r.address) + r.count > table.size()) {
        return Exception(r.function, kIllegalDataAddress);
    }
    std::vector<uint8_t> data((r.count + 7) / 8);
    for (uint32_t i = 0; i < r.count; ++i) {
        if (table[r.address + i] != 0) {
            data[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
    }
    return Data(r.function, std::move(data));
}

Response Station::ReadRegisters(const Request& r, const std::vector<uint16_t>& table) {
    if (r.count < 1 || r.count > kMaxReadRegisters) {
        return Exception(r.function, kIllegalDataValue);
    }
    if (static_cast<uint32_t>(r.address) + r.count > table.size()) {
        return Exception(r.function, kIllegalDataAddress);
    }
    std::vector<uint8_t> data;
    data.reserve(2u * r.count);
    for (uint32_t i = 0; i < r.count; ++i) {
        const uint16_t v = table[r.address + i];
        data.push_back(static_cast<uint8_t>(v >> 8));
        data.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return Data(r.function, std::move(data));
}

Response Station::WriteCoil(const Request& r) {
    if (r.value != 0xFF00 && r.value != 0x0000) {
        return Exception(r.function, kIllegalDataValue);
    }
    if (!Put<uint8_t>(coils_, r.address, r.value == 0xFF00 ? 1 : 0)) {
        return Exception(r.function, kIllegalDataAddress);
    }
    Response out;
    out.kind = Response::Kind::Echo;
    out.function = r.function;
    out.data = r.data;
    return out;
}

Response Station::WriteRegister(const Request& r) {
    if (!Put<uint16_t>(registers_, r.address, r.value)) {
        return Exception(r.function, kIllegalDataAddress);
    }
    Response out;
    out.kind = Response::Kind::Echo;
    out.function = r.function;
    out.data = r.data;
    return out;
}

Response Station::EventInit(const Request& r) {
    if (r.byteCount != merix::kEventSetUpFieldSize) {
        return Exception(r.function, kIllegalDataValue);
    }
    if (r.eventCount != events_.Gates()) {
        // The master's idea of the event gates differs from this station's configuration.
        return Exception(r.function, kIllegalDataAddress);
    }
    events_.Initialise();
    return Data(r.function, events_.StateBitmap());
}

Response Station::EventRepeat(const Request& r) {
    if (!events_.LastBlock()) {
        return Exception(r.function, kIllegalDataAddress);
    }
    return Data(r.function, *events_.LastBlock());
}

bool Station::SetCoil(uint32_t a, bool v) {
    return Put<uint8_t>(coils_, a, v ? 1 : 0);
}
bool Station::SetDiscreteInput(uint32_t a, bool v) {
    return Put<uint8_t>(inputs_, a, v ? 1 : 0);
}
bool Station::SetHoldingRegister(uint32_t a, uint16_t v) {
    return Put(registers_, a, v);
}
bool Station::SetInputRegister(uint32_t a, uint16_t v) {
    return Put(inputRegisters_, a, v);
}

std::optional<bool> Station::Coil(uint32_t a) const {
    const auto v = At(coils_, a);
    return v ? std::optional<bool>(*v != 0) : std::nullopt;
}
std::optional<bool> Station::DiscreteInput(uint32_t a) const {
    const auto v = At(inputs_, a);
    return v ? std::optional<bool>(*v != 0) : std::nullopt;
}
std::optional<uint16_t> Station::HoldingRegister(uint32_t a) const {
    return At(registers_, a);
}
std::optional<uint16_t> Station::InputRegister(uint32_t a) const {
    return At(inputRegisters_, a);
}

std::optional<GeneratedEvent> Station::GenerateEvent(uint16_t number, bool value,
                                                     Steady::time_point now) {
    const StationTime time = clock_.Now(now);
    const EventStore::Outcome outcome = events_.Record(number, value, time);
    if (outcome == EventStore::Outcome::NoSuchEvent) {
        return std::nullopt;
    }
    return GeneratedEvent{number, static_cast<uint8_t>(value ? 1 : 0), time,
                          outcome == EventStore::Outcome::Buffered, now};
}

} // namespace h51sim
