// One driver instance: the host-owned context and the commands a host sends through
// VpiMain. Every call goes through here, so the caller can tell which station it concerns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "merix/vpi.h"

namespace merixhost {

class DriverInstance {
public:
    DriverInstance(VpiMainFn entry, uint32_t driverNumber);

    /// GetVpiInfo; the context is not needed for it.
    merix::VpiInfo Info();
    /// False with `error` set when the driver wants a context of another size than the
    /// record this host knows.
    bool CheckContextSize(const merix::VpiInfo& info, std::string* error) const;

    int32_t ColdStart(merix::StartParams& params);
    int32_t WarmStart(uint32_t station);
    int32_t ParseSingle(merix::GateParseRecord& record);
    int32_t ParseBlock(merix::GateParseRecord& record);
    int32_t Read(merix::GateAccessRecord& record);
    int32_t ReadBlock(merix::GateAccessRecord& record);
    int32_t Write(merix::GateAccessRecord& record);
    int32_t End();

    const merix::DriverContext& Context() const { return *context_; }
    uint32_t Number() const { return driverNumber_; }

private:
    int32_t Call(uint32_t command, void* params);

    VpiMainFn entry_;
    uint32_t driverNumber_;
    std::unique_ptr<merix::DriverContext> context_;
};

} // namespace merixhost
