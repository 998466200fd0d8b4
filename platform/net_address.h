// The names of ports that a device server puts on the network: "tcp://HOST:PORT" (raw TCP, the
// bytes as they are) and "rfc2217://HOST:PORT" (Telnet with COM port control, RFC 2217). HOST
// is a name, an IPv4 address or an IPv6 address in brackets. Every other name is a device.
// Header-only: the initialisation file checks a PORT value with it, and every backend opens by
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace merix::plat {

enum class PortKind : uint8_t {
    kDevice,  ///< a serial device of the system
    kRawTcp,  ///< tcp://: the device server's own settings govern the line
    kRfc2217, ///< rfc2217://: the driver sets the line through the server
};

struct NetAddress {
    PortKind kind = PortKind::kDevice;
    char host[256] = {}; ///< without the brackets of an IPv6 address
    uint16_t port = 0;
};

inline constexpr const char* kRawTcpScheme = "tcp://";
inline constexpr const char* kRfc2217Scheme = "rfc2217://";

/// The kind of port a name asks for, by its scheme alone (case-insensitive).
inline PortKind KindOfName(const char* name) {
    const auto starts = [name](const char* scheme) {
        const std::size_t n = std::strlen(scheme);
        for (std::size_t i = 0; i < n; ++i) {
            const char c = name[i];
            const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            if (lower != scheme[i]) { // a NUL ends the name and matches no scheme's character
                return false;
            }
        }
        return true;
    };
    if (starts(kRawTcpScheme)) {
        return PortKind::kRawTcp;
    }
    return starts(kRfc2217Scheme) ? PortKind::kRfc2217 : PortKind::kDevice;
}

/// Reads a network port's name into `out`. False for a device name, and for a network name
/// that is malformed: no host, a host with blanks or of 256 characters or more, an IPv6
/// address without its closing bracket, no port, or a port that is not 1 to 65535 in digits.
inline bool ParseNetAddress(const char* name, NetAddress* out) {
    const PortKind kind = KindOfName(name);
    if (kind == PortKind::kDevice) {
        return false;
    }
    const char* host =
        name + std::strlen(kind == PortKind::kRawTcp ? kRawTcpScheme : kRfc2217Scheme);
    const char* hostEnd = nullptr;
    const char* colon = nullptr;
    if (*host == '[') {
        ++host;
        hostEnd = std::strchr(host, ']');
        if (hostEnd == nullptr || hostEnd[1] != ':') {
            return false;
        }
        colon = hostEnd + 1;
    } else {
        colon = std::strrchr(host, ':');
        hostEnd = colon;
        // An IPv6 address must be in brackets: its colons would hide the port's.
        if (colon == nullptr || std::memchr(host, ':', static_cast<std::size_t>(colon - host))) {
            return false;
        }
    }
    const auto hostLength = static_cast<std::size_t>(hostEnd - host);
    if (hostLength == 0 || hostLength >= sizeof out->host) {
        return false;
    }
    for (const char* p = host; p < hostEnd; ++p) {
        if (static_cast<unsigned char>(*p) <= ' ' || *p == '/' || *p == '[' || *p == ']') {
            return false;
        }
    }
    uint32_t port = 0;
    const char* digit = colon + 1;
    if (*digit == '\0') {
        return false;
    }
    for (; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || port > 65535) {
            return false;
        }
        port = port * 10 + static_cast<uint32_t>(*digit - '0');
    }
    if (port == 0 || port > 65535) {
        return false;
    }
    out->kind = kind;
    std::memcpy(out->host, host, hostLength);
    out->host[hostLength] = '\0';
    out->port = static_cast<uint16_t>(port);
    return true;
}

} // namespace merix::plat
