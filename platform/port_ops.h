// What a port does, as a table of operations per kind of port, after libmodbus's backend table
// (modbus_backend_t): one for the system's serial devices in each real backend, one for the
// ports behind device servers (platform/net_port.h) and the fake's own. A port's open decides
// its kind once, and the handle it gives carries it: OpsOf answers the handle's table, and every
// platform call on a handle (platform/port_calls.inc) calls through it, so that nothing asks a
// port's kind anywhere else. SetLowLatency is no port's operation: a request of the system's
// serial driver, each backend answers it itself.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace merix::plat {

/// The platform's calls on a handle, with their meaning and results (platform/platform.h). A
/// table answers for every handle that OpsOf gives it, open or not: one that is no port answers
/// as the system answers a handle it does not know (ERROR_INVALID_HANDLE).
struct PortOps {
    PortKind (*kind)(Handle h);
    bool (*close)(Handle h);
    bool (*getCommState)(Handle h, Dcb* dcb);
    bool (*setCommState)(Handle h, const Dcb& dcb);
    bool (*getCommTimeouts)(Handle h, CommTimeouts* timeouts);
    bool (*setCommTimeouts)(Handle h, const CommTimeouts& timeouts);
    bool (*setupComm)(Handle h, uint32_t inQueue, uint32_t outQueue);
    bool (*clearCommError)(Handle h, uint32_t* errors, uint32_t* inQueue);
    bool (*pendingInput)(Handle h, uint32_t* inQueue);
    bool (*takeLineErrors)(Handle h, LineErrors* errors);
    bool (*read)(Handle h, void* buffer, uint32_t count, uint32_t* read);
    bool (*write)(Handle h, const void* buffer, uint32_t count, uint32_t* written);
    bool (*waitWritten)(Handle h);
    bool (*purgeInput)(Handle h);
    bool (*escape)(Handle h, int function);
    bool (*setBreak)(Handle h);
    bool (*clearBreak)(Handle h);
    bool (*connectionLost)(Handle h);
    bool (*reconnect)(Handle h);
    uint32_t (*unansweredSettings)(Handle h);
    bool (*refusedSocketOption)(Handle h, int index, const char** name, uint32_t* code);
};

/// The table of `h`, as its open chose it. Each backend defines it, beside its tables.
const PortOps& OpsOf(Handle h);

} // namespace merix::plat
