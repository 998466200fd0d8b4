#include "serial/crc16.h"

namespace merix {

uint16_t Crc16(const uint8_t* bytes, int length) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = (crc & 1u) != 0;
            crc >>= 1;
            if (lsb) {
                crc ^= 0xA001;
            }
        }
    }
    return crc;
}

bool CrcMatches(const uint8_t* frame, int length) {
    if (length < 2) {
        // A frame too short to carry a CRC cannot match one.
        return false;
    }
    const uint16_t crc = Crc16(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

} // namespace merix
