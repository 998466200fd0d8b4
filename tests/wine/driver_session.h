// The test host's side of the driver: the loaded library, one instance's context, gate records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "merix/vpi.h"

namespace wine_host {

/// A gate as a host keeps it: its address text, the record in the access layout and a value
/// buffer large enough for the largest block of bits.
struct Gate {
    char text[32] = {};
    alignas(4) uint8_t value[512] = {};
    merix::GateAccessRecord rec{};

    Gate(const char* address, int32_t gateType, int32_t count = 1) {
        std::snprintf(text, sizeof text, "%s", address);
        rec.addressString = text;
        rec.gateType = gateType;
        rec.count = count;
        rec.valuePtr = value;
    }
    int16_t Word() const {
        int16_t w = 0;
        std::memcpy(&w, value + 2, sizeof w);
        return w;
    }
    uint16_t BlockWord(int i) const {
        uint16_t w = 0;
        std::memcpy(&w, value + 2 * i, sizeof w);
        return w;
    }
    void SetWord(int16_t w) { std::memcpy(value + 2, &w, sizeof w); }
};

/// merix.dll loaded as a host loads it, and one driver instance with a host-allocated context.
class DriverSession {
public:
    ~DriverSession() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    /// LoadLibraryA and GetProcAddress("VpiMain"); on failure *error says why.
    bool Load(const std::string& path, std::string* error) {
        module_ = LoadLibraryA(path.c_str());
        if (module_ == nullptr) {
            *error = "LoadLibraryA(" + path + ") failed, error " + std::to_string(GetLastError());
            return false;
        }
        entry_ = reinterpret_cast<VpiMainFn>(
            reinterpret_cast<void*>(GetProcAddress(module_, "VpiMain")));
        if (entry_ == nullptr) {
            *error = "GetProcAddress(VpiMain) failed, error " + std::to_string(GetLastError());
            return false;
        }
        return true;
    }

    /// Allocates the context with the size that GetVpiInfo announced, zeroed as a host does.
    void AllocateContext(uint32_t size) { context_.assign(size, 0); }
    merix::DriverContext* Context() {
        return context_.size() < sizeof(merix::DriverContext)
                   ? nullptr
                   : reinterpret_cast<merix::DriverContext*>(context_.data());
    }

    int32_t Call(uint32_t command, void* params = nullptr) {
        merix::CallBlock cb{Context(), command, kDriverNumber, 0, params};
        return entry_(&cb);
    }
    int32_t Read(Gate& gate) { return Call(merix::kSingleRead, &gate.rec); }
    int32_t ReadBlock(Gate& gate) { return Call(merix::kBlockRead, &gate.rec); }
    int32_t Write(Gate& gate, int16_t value) {
        gate.SetWord(value);
        return Call(merix::kSingleWrite, &gate.rec);
    }

    /// Command 3 or 4 on the gate's text; on success the access record takes the parsed
    /// station, function and address, as a host copies them.
    int32_t Parse(uint32_t command, Gate& gate, merix::GateParseRecord* parsed) {
        merix::GateParseRecord rec{};
        rec.addressString = gate.text;
        rec.gateType = gate.rec.gateType;
        rec.blockLength = gate.rec.count;
        rec.station = gate.rec.station;
        rec.address = gate.rec.address;
        rec.function = gate.rec.function;
        const int32_t result = Call(command, &rec);
        if (result == 0) {
            gate.rec.station = rec.station;
            gate.rec.function = rec.function;
            gate.rec.address = rec.address;
        }
        *parsed = rec;
        return result;
    }

    static constexpr uint32_t kDriverNumber = 1;

private:
    HMODULE module_ = nullptr;
    VpiMainFn entry_ = nullptr;
    std::vector<uint8_t> context_;
};

} // namespace wine_host
