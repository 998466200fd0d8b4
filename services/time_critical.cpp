#include "services/time_critical.h"

#include "platform/platform.h"
#include "services/host_log.h"

namespace merix {

// The platform's GetThreadPriority also keeps what SetThreadPriority(saved) restores on
// systems without Win32's priorities: the one pair of calls here keeps the two together.
TimeCriticalSection::TimeCriticalSection(const char* operation)
    : operation_(operation), saved_(plat::GetThreadPriority()) {
    plat::TimeBeginPeriod(1);
    if (saved_ == plat::kThreadPriorityErrorReturn) {
        // Nothing to put back: a raised thread would stay at time-critical priority for good.
        raised_ = false;
        Log(kLogDetail, "MERIX> %s() ERROR reading priority, system error %u: not raised",
            operation_, plat::LastError());
        return;
    }
    const int rc = plat::SetThreadPriority(plat::kThreadPriorityTimeCritical);
    if (rc != 1) {
        Log(kLogDetail, "MERIX> %s() ERROR setting priority, rc %d", operation_, rc);
    }
}

void TimeCriticalSection::Restore() {
    if (restored_) {
        return;
    }
    restored_ = true;
    if (raised_ && plat::SetThreadPriority(saved_) != 1) {
        Log(kLogDetail, "MERIX> %s() ERROR !!! RESETTING PRIORITY !!", operation_);
    }
    plat::TimeEndPeriod(1);
}

} // namespace merix
