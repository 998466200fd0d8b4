#include "host/console/driver_instance.h"

#include <fmt/format.h>

namespace merixhost {

DriverInstance::DriverInstance(VpiMainFn entry, uint32_t driverNumber)
    : entry_(entry), driverNumber_(driverNumber), context_(new merix::DriverContext{}) {}

int32_t DriverInstance::Call(uint32_t command, void* params) {
    merix::CallBlock block{context_.get(), command, driverNumber_, 0, params};
    return entry_(&block);
}

merix::VpiInfo DriverInstance::Info() {
    merix::VpiInfo info{};
    merix::CallBlock block{nullptr, merix::kGetVpiInfo, driverNumber_, 0, &info};
    entry_(&block);
    return info;
}

bool DriverInstance::CheckContextSize(const merix::VpiInfo& info, std::string* error) const {
    if (info.contextSize == sizeof(merix::DriverContext)) {
        return true;
    }
    *error = fmt::format("the driver asks for a context of {} bytes; this host knows the "
                         "{}-byte record",
                         info.contextSize, sizeof(merix::DriverContext));
    return false;
}

int32_t DriverInstance::ColdStart(merix::StartParams& params) {
    return Call(merix::kColdStart, &params);
}

int32_t DriverInstance::WarmStart(uint32_t station) {
    merix::StationArg arg{station};
    return Call(merix::kWarmStart, &arg);
}

int32_t DriverInstance::ParseSingle(merix::GateParseRecord& record) {
    return Call(merix::kSingleAddressParser, &record);
}

int32_t DriverInstance::ParseBlock(merix::GateParseRecord& record) {
    return Call(merix::kBlockAddressParser, &record);
}

int32_t DriverInstance::Read(merix::GateAccessRecord& record) {
    return Call(merix::kSingleRead, &record);
}

int32_t DriverInstance::ReadBlock(merix::GateAccessRecord& record) {
    return Call(merix::kBlockRead, &record);
}

int32_t DriverInstance::Write(merix::GateAccessRecord& record) {
    return Call(merix::kSingleWrite, &record);
}

int32_t DriverInstance::End() {
    return Call(merix::kEndVpi, nullptr);
}

} // namespace merixhost
