#include "config/ini_file.h"

namespace merix {

void ReadIntFile(CallBlock* cb) {
    cb->context->SendMask = 0x0101;
    cb->context->RecMask = 0;
}

} // namespace merix
