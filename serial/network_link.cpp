#include "serial/network_link.h"

#include <cstdio>
#include <string_view>

#include "platform/net_socket.h"
#include "platform/telnet_codec.h"
#include "serial/line_direction.h"
#include "serial/line_errors.h"
#include "serial/line_settings_text.h"
#include "services/host_log.h"

namespace merix {

namespace {

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

void SayLost(std::string_view name, uint32_t error) {
    Log(kLogError,
        "MERIX> %.*s: connection lost, system error %u%s; requests fail until it is back, "
        "tried again every %u s",
        static_cast<int>(name.size()), name.data(), error, NetworkErrorText(error),
        static_cast<unsigned>(kReconnectEveryMs / 1000));
}

/// The settings the server confirmed, as "9600 baud, 8 data bits, ...", the rest left out.
void AppendConfirmed(const plat::Dcb& dcb, uint32_t unconfirmed, char* out, std::size_t room) {
    namespace t = plat::telnet;
    const auto confirmed = [unconfirmed](uint8_t command) {
        return (unconfirmed & (1u << command)) == 0;
    };
    std::size_t n = 0;
    out[0] = '\0';
    const auto add = [&](bool yes, const char* format, auto value) {
        if (yes && n < room) {
            const int written = std::snprintf(out + n, room - n, "%s", n == 0 ? "" : ", ");
            n += written > 0 ? static_cast<std::size_t>(written) : 0;
            if (n < room) {
                const int w = std::snprintf(out + n, room - n, format, value);
                n += w > 0 ? static_cast<std::size_t>(w) : 0;
            }
        }
    };
    add(confirmed(t::kSetBaudRate), "%u baud", dcb.baudRate);
    add(confirmed(t::kSetDataSize), "%u data bits", static_cast<unsigned>(dcb.byteSize));
    add(confirmed(t::kSetParity), "parity %s", ParityName(dcb.parity));
    add(confirmed(t::kSetStopSize), "stop bits %s", StopBitsName(dcb.stopBits));
    add(confirmed(t::kSetControl), "%s", "no flow control");
}

/// Each socket option the system refused on the connection, once per open, at level 8: what it
/// would have bounded is the system's default then.
void SayRefusedOptions(const char* name, plat::Handle handle) {
    const char* option = nullptr;
    uint32_t code = 0;
    for (int i = 0; plat::RefusedSocketOption(handle, i, &option, &code); ++i) {
        Log(kLogDetail,
            "MERIX> OpenSavedPort() %s: the system refused socket option %s, system "
            "error %u",
            name, option, code);
    }
}

} // namespace

void SetUpNetworkLink(InstanceRoom& room, const char* name, plat::Handle handle) {
    room.direction = LineDirection::kServerSwitched;
    if (room.linkLost) {
        SayBack(name); // connected again by a reopen
    }
    room.linkLost = false;
    room.lastConnectMs = plat::ClockMs();
    SayRefusedOptions(name, handle);
    if (plat::KindOfPort(handle) == plat::PortKind::kRawTcp) {
        Log(kLogError,
            "MERIX> OpenSavedPort() %s: raw TCP, the device server's own settings govern the line "
            "(baud rate, framing, direction)",
            name);
        return;
    }
    const uint32_t unanswered = plat::UnansweredSettings(handle);
    if ((unanswered & plat::kComPortRefused) != 0) {
        Log(kLogError,
            "MERIX> OpenSavedPort() %s: RFC 2217, the device server did not agree to COM port "
            "control: no line setting sent, its own settings govern the line (baud rate, "
            "framing, direction)",
            name);
        return;
    }
    plat::Dcb dcb;
    char confirmed[160] = "";
    if (plat::GetCommState(handle, &dcb)) {
        AppendConfirmed(dcb, unanswered, confirmed, sizeof confirmed);
    }
    Log(kLogError,
        "MERIX> OpenSavedPort() %s: RFC 2217, the device server's port set to %s; it switches "
        "the line direction",
        name, confirmed[0] != '\0' ? confirmed : "nothing it confirmed");
    if (unanswered != 0) {
        char names[128];
        AppendCommandNames(unanswered, names, sizeof names);
        Log(kLogError,
            "MERIX> OpenSavedPort() %s: the server did not confirm %s in time: unconfirmed, "
            "sent all the same",
            name, names);
    }
}

void KeepNetworkLink(InstanceRoom& room, const char* name, uint32_t error) {
    room.direction = LineDirection::kServerSwitched;
    room.setUpPending = true;
    room.lastConnectMs = plat::ClockMs();
    if (!room.linkLost) {
        SayLost(name, error);
    }
    room.linkLost = true;
}

const char* NetworkErrorText(uint32_t error) {
    switch (error) {
    case plat::net::kErrorHostNotFound:
        return ": the name was not found";
    case plat::net::kErrorTryAgain:
        return ": the name server did not answer";
    case plat::net::kErrorConnectionRefused:
        return ": connection refused";
    case plat::net::kErrorTimedOut:
        return ": timed out";
    default:
        return "";
    }
}

bool NetworkLinkUp(const DriverContext& ctx) {
    InstanceRoom* room = FindInstanceRoom(ctx);
    if (room == nullptr || !LineTurnOf(room->direction).OnTheNetwork()) {
        return true;
    }
    const std::string_view name = LinePortName(ctx);
    const int length = static_cast<int>(name.size());
    if (!room->linkLost) {
        if (!plat::ConnectionLost(ctx.hf)) {
            return true;
        }
        room->linkLost = true;
        SayLost(name, plat::LastError());
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
    if (room->setUpPending) {
        // Kept at its open: what the server agreed to, and whether it reports line errors, as
        // an open that reached it would have said.
        char text[sizeof room->settings.port];
        std::snprintf(text, sizeof text, "%.*s", length, name.data());
        room->setUpPending = false;
        SetUpNetworkLink(*room, text, ctx.hf); // says it is back
        LearnLineErrorReports(*room, text, ctx.hf);
        return true;
    }
    room->linkLost = false;
    SayBack(name);
    return true;
}

} // namespace merix
