// Transactions per second against the simulator (filled in once the simulator exists).
#include "bench_report.h"

namespace merix::bench {

void TransactionSection(int) {}

} // namespace merix::bench
