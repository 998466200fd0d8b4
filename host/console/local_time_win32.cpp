#include "host/console/local_time.h"

namespace merixhost {

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    // Unlike localtime_r, it answers with an error code: EINVAL for times before 1970.
    if (localtime_s(&local, &seconds) != 0) {
        return std::tm{};
    }
    return local;
}

} // namespace merixhost
