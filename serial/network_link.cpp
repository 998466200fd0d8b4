#include "serial/network_link.h"

#include <cstdio>
#include <string_view>

#include "platform/telnet_codec.h"
#include "services/host_log.h"

namespace merix {

namespace {

constexpr const char* kParityNames[] = {"none", "odd", "even", "mark", "space"};
constexpr const char* kStopBitsNames[] = {"1", "1.5", "2"};

/// The names of the RFC 2217 commands in `bits` (1 << command), for the log.
void AppendCommandNames(uint32_t bits, char* out, std::size_t room) {
    static constexpr struct {
        uint8_t command;
        const char* name;
    } kNames[] = {
        {plat::telnet::kSetBaudRate, "SET-BAUDRATE"},
        {plat::telnet::kSetDataSize, "SET-DATASIZE"},
        {plat::telnet::kSetParity, "SET-PARITY"},
        {plat::telnet::kSetStopSize, "SET-STOPSIZE"},
        {plat::telnet::kSetControl, "SET-CONTROL"},
        {plat::telnet::kSetLineStateMask, "SET-LINESTATE-MASK"},
    };
    std::size_t n = 0;
    out[0] = '\0';
    for (const auto& [command, name] : kNames) {
        if ((bits & (1u << command)) != 0 && n < room) {
            const int written = std::snprintf(out + n, room - n, "%s%s", n == 0 ? "" : " ", name);
            n += written > 0 ? static_cast<std::size_t>(written) : 0;
        }
    }
}

void SayBack(std::string_view name) {
    Log(kLogError, "MERIX> %.*s: connection is back", static_cast<int>(name.size()), name.data());
}

} // namespace

void SetUpNetworkLink(InstanceRoom& room, const char* name, plat::Handle handle) {
    room.direction = LineDirection::kServerSwitched;
    if (room.linkLost) {
        SayBack(name); // connected again by a reopen
    }
    room.linkLost = false;
    room.lastConnectMs = plat::ClockMs();
    if (plat::KindOfPort(handle) == plat::PortKind::kRawTcp) {
        Log(kLogError,
            "MERIX> OpenSavedPort() %s: raw TCP, the device server's own settings govern the line "
            "(baud rate, framing, direction)",
            name);
        return;
    }
    plat::Dcb dcb;
    if (plat::GetCommState(handle, &dcb)) {
        Log(kLogError,
            "MERIX> OpenSavedPort() %s: RFC 2217, the device server's port set to %u baud, %u "
            "data bits, parity %s, stop bits %s, no flow control; it switches the line direction",
            name, dcb.baudRate, static_cast<unsigned>(dcb.byteSize),
            dcb.parity < 5 ? kParityNames[dcb.parity] : "?",
            dcb.stopBits < 3 ? kStopBitsNames[dcb.stopBits] : "?");
    }
    if (const uint32_t unanswered = plat::UnansweredSettings(handle)) {
        char names[128];
        AppendCommandNames(unanswered, names, sizeof names);
        Log(kLogError,
            "MERIX> OpenSavedPort() %s: the server did not answer %s in time; sent all the same",
            name, names);
    }
}

bool NetworkLinkUp(const DriverContext& ctx) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr || room->direction != LineDirection::kServerSwitched) {
        return true;
    }
    const std::string_view name = LinePortName(ctx);
    const int length = static_cast<int>(name.size());
    if (!room->linkLost) {
        if (!plat::ConnectionLost(ctx.hf)) {
            return true;
        }
        room->linkLost = true;
        Log(kLogError,
            "MERIX> %.*s: connection lost, system error %u; requests fail until it is back, "
            "tried again every %u s",
            length, name.data(), plat::LastError(),
            static_cast<unsigned>(kReconnectEveryMs / 1000));
    }
    const uint64_t now = plat::ClockMs();
    if (now - room->lastConnectMs < kReconnectEveryMs) {
        return false;
    }
    room->lastConnectMs = now;
    if (!plat::Reconnect(ctx.hf)) {
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, "MERIX> %.*s: not connected again, system error %u", length,
                name.data(), plat::LastError());
        }
        return false;
    }
    room->linkLost = false;
    SayBack(name);
    return true;
}

} // namespace merix
