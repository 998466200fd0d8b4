#include "transactions/value_buffer.h"

#include <cstring>

namespace merix {

int16_t ValueWord(const void* valuePtr) {
    int16_t value = 0;
    std::memcpy(&value, static_cast<const uint8_t*>(valuePtr) + 2, sizeof value);
    return value;
}

void SetValueWord(void* valuePtr, int16_t value) {
    std::memcpy(static_cast<uint8_t*>(valuePtr) + 2, &value, sizeof value);
}

} // namespace merix
