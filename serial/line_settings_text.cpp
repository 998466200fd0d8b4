#include "serial/line_settings_text.h"

#include "serial/line_direction.h"

namespace merix {

void AppendLineSettings(TextBuffer& out, const DriverContext& ctx) {
    const PortParams& p = ctx.portParams;
    // Codes as the host's DCB has them; one it should not send shows as "?".
    out.Printf("%u %u%c%s, direction switched by the %s", p.baud, p.dataBits,
               ParityLetter(p.parity), StopBitsName(p.stopBits),
               LineDirectionText(LineDirectionOf(ctx)));
}

} // namespace merix
