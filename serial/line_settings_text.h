// How the line trace and the line capture name a port's settings and the way its line
// direction is switched: "9600 8E1, direction switched by the driver".
#pragma once

#include "merix/vpi.h"
#include "serial/frame_text.h"

namespace merix {

void AppendLineSettings(TextBuffer& out, const DriverContext& ctx);

} // namespace merix
