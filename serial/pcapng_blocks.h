// The blocks of a pcapng file (the format Wireshark writes and reads: IETF draft
// "PCAP Next Generation (pcapng) Capture File Format") for the line capture, with the RTAC serial
// link type (LINKTYPE_RTAC_SERIAL, 250): a 12-byte header before each packet's bytes tells
// whether it is a request or a reply, or names a line error, and Wireshark reads it as it
// comes. Fixed buffers, no allocation, little-endian whatever the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace merix {

/// What a packet of the capture is: its event type in the RTAC serial header.
enum class LineEvent : uint8_t {
    kRequest = 0x01, ///< DATA_TX_START: a request, stamped when its first byte went out
    kReply = 0x02,   ///< DATA_RX_START: a reply, stamped when its first byte was read
    kFraming = 0x07, ///< FRAMING_ERROR (a break, too: the ports report it as one)
    kParity = 0x08,  ///< PARITY_ERROR
    kOverrun = 0x0A, ///< SERIAL_OVERFLOW_EVENT: the port lost bytes
};

/// The blocks of a pcapng file, little-endian whatever the machine. Each writes one whole
/// block at the start of `out` and answers its size, or 0 when it does not fit.
namespace pcapng {

/// LINKTYPE_RTAC_SERIAL.
inline constexpr uint16_t kLinkRtacSerial = 250;

/// The Section Header Block that begins every file, naming the application that wrote it.
std::size_t SectionHeader(std::span<uint8_t> out, std::string_view application);
/// An Interface Description Block of the RTAC serial link type: the port's name, and a
/// description of its settings.
std::size_t Interface(std::span<uint8_t> out, std::string_view name, std::string_view description);
/// An Enhanced Packet Block on `interface`, stamped `epochUs` (microseconds since 1970): the
/// RTAC serial header for `event`, then `data`; the direction flag for a request or a reply,
/// and `comment` when not empty.
std::size_t Packet(std::span<uint8_t> out, uint32_t interface, uint64_t epochUs, LineEvent event,
                   std::span<const uint8_t> data, std::string_view comment);

} // namespace pcapng

} // namespace merix
