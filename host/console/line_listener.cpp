#include "host/console/line_listener.h"

#include <algorithm>

#include <fmt/format.h>

namespace merixhost {

namespace plat = merix::plat;

namespace {

std::string Failed(const char* what) {
    return fmt::format("{} failed (system error {})", what, plat::LastError());
}

} // namespace

LineListener::~LineListener() {
    if (handle_ != plat::kInvalidHandle) {
        plat::CloseHandle(handle_);
    }
}

bool LineListener::Open(const std::string& name, const ListenSettings& settings,
                        std::string* error) {
    handle_ = plat::CreateFileA(name.c_str());
    if (handle_ == plat::kInvalidHandle) {
        *error = fmt::format("cannot open {} (system error {})", name, plat::LastError());
        return false;
    }
    plat::Dcb dcb;
    if (!plat::GetCommState(handle_, &dcb)) {
        *error = Failed("GetCommState");
        return false;
    }
    // The line's settings only: DTR and RTS keep the modes the port reports, so that setting
    // them again changes no modem line, and no transceiver is turned to transmit.
    dcb.baudRate = settings.baud;
    dcb.byteSize = settings.dataBits;
    dcb.parity = settings.parityCode;
    dcb.fParity = settings.parityCode != 0;
    dcb.stopBits = settings.stopBitsCode;
    dcb.fOutX = false;
    dcb.fInX = false;
    dcb.fBinary = true;
    if (!plat::SetCommState(handle_, dcb)) {
        *error = Failed("SetCommState");
        return false;
    }
    plat::PurgeComm(handle_);
    plat::LineErrors stale;
    plat::TakeLineErrors(handle_, &stale);
    return true;
}

int LineListener::Read(std::span<uint8_t> buffer, uint32_t waitMs, std::string* error) {
    if (buffer.empty()) {
        return 0;
    }
    if (waitMs != waitMs_) {
        // A read of one byte returns as that byte arrives: its time is the frame's.
        plat::CommTimeouts timeouts;
        timeouts.readTotalTimeoutConstant = std::max<uint32_t>(waitMs, 1);
        if (!plat::SetCommTimeouts(handle_, timeouts)) {
            *error = Failed("SetCommTimeouts");
            return -1;
        }
        waitMs_ = waitMs;
    }
    uint32_t got = 0;
    if (!plat::ReadFile(handle_, buffer.data(), 1, &got)) {
        *error = Failed("ReadFile");
        return -1;
    }
    if (got == 0) {
        return 0;
    }
    uint32_t pending = 0;
    if (plat::PendingInput(handle_, &pending) && pending > 0) {
        uint32_t more = 0;
        const auto room = static_cast<uint32_t>(buffer.size() - 1);
        if (!plat::ReadFile(handle_, buffer.data() + 1, std::min(pending, room), &more)) {
            *error = Failed("ReadFile");
            return -1;
        }
        got += more;
    }
    return static_cast<int>(got);
}

plat::LineErrors LineListener::TakeErrors() {
    plat::LineErrors errors;
    if (!plat::TakeLineErrors(handle_, &errors)) {
        return {};
    }
    return errors;
}

} // namespace merixhost
