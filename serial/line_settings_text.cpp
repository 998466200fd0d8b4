#include "serial/line_settings_text.h"

#include "serial/line_direction.h"

namespace merix {

void AppendLineSettings(TextBuffer& out, const DriverContext& ctx) {
    const PortParams& p = ctx.portParams;
    // Codes as the host's DCB has them; one it should not send shows as "?".
    static constexpr char kParity[] = "NOEMS?";
    static constexpr const char* kStopBits[] = {"1", "1.5", "2", "?"};
    out.Printf("%u %u%c%s, direction switched by the %s", p.baud, p.dataBits,
               kParity[p.parity < 5 ? p.parity : 5], kStopBits[p.stopBits < 3 ? p.stopBits : 3],
               LineDirectionText(LineDirectionOf(ctx)));
}

} // namespace merix
