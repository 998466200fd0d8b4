// A serial line behind a device server, reached over TCP: raw (the bytes as they are) or with
// RFC 2217's COM port control. To the driver it is a port like any other: every real backend
// gives a network port's handle the table kOps (platform/port_ops.h), whose functions are the
// ones here and keep Win32's meaning (a read's total timeout counted from the call,
// ClearCommError's flags and queue count), over the socket layer of platform/net_socket.h; and
// takes from net_port.cpp the platform's network calls that take no port's handle
// (KeepNetworkPort, StopNetwork). Portable: shared by the POSIX and Win32 backends.
//
// A connection that the server closes or that fails is a port gone, as an unplugged adapter
// is: every call but Close fails at once with the code of the failure, until Reconnect.
#pragma once

#include <cstdint>

#include "platform/net_address.h"
#include "platform/platform.h"
#include "platform/port_ops.h"

namespace merix::plat::netport {

/// The handles of network ports: kFirstHandle and the kPorts - 1 after it, far above the
/// descriptors of a POSIX process and the handle values of a Win32 one (small multiples of 4).
inline constexpr Handle kFirstHandle = 0x7E000001u;
inline constexpr uint32_t kPorts = 64;

/// True for the handles of network ports: a backend's OpsOf gives them kOps.
bool Owns(Handle h);

/// The table of a network port's handle, raw or RFC 2217 alike: the functions below, and for
/// what a device server does itself (DTR and RTS, a break, the last byte's leaving) success.
extern const PortOps kOps;

/// Connects to `address` within `connectTimeoutMs`, its name looked up within the same bound;
/// for RFC 2217 offers the options it needs. kInvalidHandle on failure. Every call here that
/// fails tells the backend's LastError its code (platform/last_error.h).
Handle Open(const NetAddress& address, uint32_t connectTimeoutMs);
/// Open for a name of platform/net_address.h; a malformed one fails with ERROR_INVALID_NAME.
Handle OpenByName(const char* name, uint32_t connectTimeoutMs);
/// A port for `name` that is not connected: as a connection lost with `error`, until Reconnect.
Handle Keep(const char* name, uint32_t error);
bool Close(Handle h);

bool GetCommState(Handle h, Dcb* dcb);
/// Keeps the DCB; over RFC 2217, once the server has agreed to COM port control, sends its baud
/// rate, data bits, parity and stop bits, no flow control and the line-state mask, and waits a
/// short while (within the read timeout) for the server's answers. A lost connection keeps
/// them for the reconnect. DTR and
/// RTS are never switched over the network: the device server turns its line around itself.
bool SetCommState(Handle h, const Dcb& dcb);
bool GetCommTimeouts(Handle h, CommTimeouts* timeouts);
bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts);
bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue);
/// The bytes received and not read; the line errors stay for ClearCommError.
bool Pending(Handle h, uint32_t* inQueue);
/// The server's NOTIFY-LINESTATE errors since the last call; false on a raw port, and on an
/// RFC 2217 server that neither applies the line-state mask nor has sent a notification.
bool TakeLineErrors(Handle h, LineErrors* errors);
/// Throws away what has arrived; over RFC 2217 also asks the server to purge its buffer.
bool PurgeInput(Handle h);
bool Read(Handle h, void* buffer, uint32_t count, uint32_t* read);
/// Sends the bytes in one call, so that a request goes out as one segment.
bool Write(Handle h, const void* buffer, uint32_t count, uint32_t* written);

PortKind Kind(Handle h);
/// True when the connection is lost; LastError then tells what ended it.
bool Lost(Handle h);
/// Connects again within the read timeout in force, with the settings of the last
/// SetCommState; true once connected.
bool Reconnect(Handle h);
/// The COM port commands of the last SetCommState that the server did not confirm in time, as
/// bits 1 << command; kComPortRefused when it did not agree to COM port control.
uint32_t Unanswered(Handle h);
/// The `index`th socket option the system refused on the connection now up.
bool Refused(Handle h, int index, const char** name, uint32_t* code);

/// Closes every network port (unit tests and fuzzers start afresh).
void CloseAll();

} // namespace merix::plat::netport
