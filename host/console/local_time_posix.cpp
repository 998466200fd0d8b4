#include "host/console/local_time.h"

namespace merixhost {

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::tm{};
    }
    return local;
}

} // namespace merixhost
