// GetVpiInfo: what the host needs to know before it allocates an instance.
#include "driver/commands.h"

namespace merix {

namespace {

// Installation banner in code page 437: CR LF, four box lines of 40 bytes each followed by
// CR LF, and one blank.
constexpr char kBanner[] =
    "\r\n"
    " \xDA\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xBF \r\n"
    " \xB3          HIMA - H51 Family -       \xB3 \r\n"
    " \xB3      K7 32bit driver installed     \xB3 \r\n"
    " \xC0\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xD9 \r\n"
    " ";
static_assert(sizeof(kBanner) == 171 + 1, "the banner is 171 bytes and its zero");

constexpr char kDescription[] = "Hima H51";

} // namespace

int32_t GetVpiInfo(CallBlock* cb) {
    auto& info = *static_cast<VpiInfo*>(cb->params);
    info.fixed70 = 70;
    info.description = kDescription;
    info.banner = kBanner;
    info.contextSize = sizeof(DriverContext);
    info.fixed4 = 4;
    info.baud = 9600;
    info.dataBits = 8;
    info.stopBits = 0;
    info.parity = 2;
    info.fixed1 = 1;
    return kResultOk;
}

} // namespace merix
