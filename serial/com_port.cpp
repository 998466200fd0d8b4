#include "serial/com_port.h"

#include <cstring>

#include "serial/line_settings_text.h"
#include "services/host_log.h"

namespace merix {

namespace {

constexpr uint32_t kQueueSize = 1200; // a frame of this protocol is at most 260 bytes
constexpr int kPurgeTimeout = 5;      // 50 ms
constexpr uint32_t kPurgeChunk = 512;

uint8_t DtrControl(uint16_t mask) {
    if ((mask & kLineDtr) != 0) {
        return plat::kDtrEnable;
    }
    return (mask & 0x8000) != 0 ? plat::kDtrHandshake : plat::kDtrDisable;
}

uint8_t RtsControl(uint16_t mask) {
    if ((mask & kLineRts) != 0) {
        return plat::kRtsEnable;
    }
    if ((mask & 0x1000) != 0) {
        return plat::kRtsHandshake;
    }
    return (mask & 0x2000) != 0 ? plat::kRtsToggle : plat::kRtsDisable;
}

/// The host's codes past two stop bits are taken as two.
const char* StopBitsText(uint16_t code) {
    return StopBitsName(code < 2 ? code : 2u);
}

/// The port's settings as this protocol needs them; the rest of the DCB stays as it was.
void SetLine(plat::Dcb& dcb, const PortSettings& settings, uint16_t lineMask) {
    dcb.baudRate = settings.baud;
    dcb.fBinary = true;
    dcb.fParity = true; // parity checking on, whatever the parity
    dcb.fOutxCtsFlow = false;
    dcb.fOutxDsrFlow = false;
    dcb.fDtrControl = DtrControl(lineMask);
    dcb.fDsrSensitivity = false;
    dcb.fOutX = false; // no XON/XOFF: the protocol is binary
    dcb.fInX = false;
    dcb.fErrorChar = false;
    dcb.fNull = false; // NUL bytes are data
    dcb.fRtsControl = RtsControl(lineMask);
    dcb.fAbortOnError = false; // a framing error must not stall every later read
    dcb.byteSize = static_cast<uint8_t>(settings.dataBits);
    dcb.parity = static_cast<uint8_t>(settings.parity);
    dcb.stopBits = static_cast<uint8_t>(settings.stopBits);
    dcb.errorChar = static_cast<uint8_t>(0xFC);
}

} // namespace

uint32_t WriteTimeoutPerByteMs(const PortSettings& settings) {
    if (settings.baud == 0) {
        return 0;
    }
    // Start bit, data bits, parity bit, stop bits: as the character time of ColdStart.
    const uint32_t halfBits =
        2u * (1u + (settings.dataBits & 0xFFu) + ((settings.parity & 0xFFu) != 0 ? 1u : 0u) + 1u) +
        (settings.stopBits & 0xFFu);
    const uint64_t numerator = static_cast<uint64_t>(halfBits) * 1000u;
    const uint64_t denominator = static_cast<uint64_t>(settings.baud) * 2u;
    return static_cast<uint32_t>((numerator + denominator - 1) / denominator);
}

int ComOpen(const char* name, const PortSettings& settings, uint16_t lineMask, plat::Handle* handle,
            uint32_t connectTimeoutMs) {
    if (settings.dataBits < 5 || settings.dataBits > 8 || settings.stopBits > 2 ||
        settings.parity > 4) {
        // No serial driver takes these; cut to a DCB's bytes, 261 data bits would open as 5.
        Log(kLogError,
            "MERIX> ComOpen() %s: %u data bits, stop-bits code %u, parity code %u refused, "
            "a port takes 5 to 8 data bits, stop-bits codes 0 to 2 and parity codes 0 to 4",
            name, settings.dataBits, settings.stopBits, settings.parity);
        return kComSetStateFailed;
    }
    *handle = plat::CreateFileA(name, connectTimeoutMs);
    if (*handle == plat::kInvalidHandle) {
        return kComOpenFailed;
    }
    if (std::strcmp(name, "NUL") == 0) {
        return kComOk; // the null device is used as opened, unconfigured
    }
    return ComConfigure(name, *handle, settings, lineMask);
}

int ComConfigure(const char* name, plat::Handle handle, const PortSettings& settings,
                 uint16_t lineMask) {
    plat::Dcb dcb;
    if (!plat::GetCommState(handle, &dcb)) {
        plat::CloseHandle(handle);
        return kComGetStateFailed;
    }
    plat::CommTimeouts timeouts;
    timeouts.readTotalTimeoutConstant = kOpenReadTimeoutMs;
    timeouts.writeTotalTimeoutMultiplier = WriteTimeoutPerByteMs(settings);
    timeouts.writeTotalTimeoutConstant = kWriteMarginMs;
    if (!plat::SetCommTimeouts(handle, timeouts)) {
        // The caller treats the port as not open and never closes it: a handle left open
        // here would keep the (exclusive) port busy until the host exits.
        plat::CloseHandle(handle);
        return kComOpenFailed;
    }
    SetLine(dcb, settings, lineMask);
    if (plat::WindowsRefusesFraming(dcb.byteSize, dcb.stopBits)) {
        // Wine and termios take these; Windows' SetCommState fails on them, and a port that
        // only opens under Wine is no port at all. Refused alike everywhere, and said why.
        Log(kLogError,
            "MERIX> ComOpen() %s: %d data bits with %s stop bits refused, Windows does not "
            "support that combination",
            name, static_cast<int>(dcb.byteSize), StopBitsText(dcb.stopBits));
        plat::CloseHandle(handle);
        return kComSetStateFailed;
    }
    if (!plat::SetCommState(handle, dcb)) {
        plat::CloseHandle(handle);
        return kComSetStateFailed;
    }
    plat::SetupComm(handle, kQueueSize, kQueueSize);
    return kComOk;
}

int ComClose(plat::Handle handle) {
    return plat::CloseHandle(handle) ? kComOk : kComFailed;
}

uint32_t ComPending(plat::Handle handle) {
    uint32_t inQueue = 0;
    return plat::PendingInput(handle, &inQueue) ? inQueue : 0;
}

bool ComGone(plat::Handle handle) {
    uint32_t errors = 0;
    uint32_t inQueue = 0;
    return !plat::ClearCommError(handle, &errors, &inQueue);
}

int ComSetTimeout(plat::Handle handle, int t) {
    plat::CommTimeouts timeouts;
    if (!plat::GetCommTimeouts(handle, &timeouts)) {
        return 0;
    }
    const uint32_t previous = timeouts.readTotalTimeoutConstant;
    if (t > 0) {
        // 10 ms units from the host; capped below MAXDWORD, which has a meaning of its own.
        const uint64_t wanted = static_cast<uint64_t>(t) * 10u;
        const auto constant = static_cast<uint32_t>(wanted > 0xFFFFFFFEu ? 0xFFFFFFFEu : wanted);
        if (previous != constant) {
            timeouts.readTotalTimeoutConstant = constant;
            if (!plat::SetCommTimeouts(handle, timeouts)) {
                return 0;
            }
        }
    }
    return static_cast<int>(previous / 10u);
}

int ComPurge(plat::Handle handle, plat::LineErrors* cleared) {
    uint32_t errors = 0;
    uint32_t inQueue = 0;
    const bool ok = plat::ClearCommError(handle, &errors, &inQueue);
    if (cleared != nullptr) {
        *cleared = plat::LineErrorsFromFlags(ok ? errors : 0);
    }
    if (plat::KindOfPort(handle) != plat::PortKind::kDevice) {
        // What has arrived is dropped at once, with no 50 ms wait for more; the server may
        // still hold late bytes of its own, which an RFC 2217 server is asked to drop.
        return plat::PurgeComm(handle) ? kComOk : 1;
    }
    if (ok && inQueue == 0) {
        return kComOk;
    }
    const int previous = ComSetTimeout(handle, kPurgeTimeout);
    uint8_t scratch[kPurgeChunk];
    bool failed = false;
    for (;;) {
        uint32_t read = 0;
        if (!plat::ReadFile(handle, scratch, kPurgeChunk, &read)) {
            failed = true;
            break;
        }
        if (read != kPurgeChunk) {
            break;
        }
    }
    if (previous != 0) {
        ComSetTimeout(handle, previous);
    }
    return failed ? 1 : kComOk;
}

int ComBreak(uint32_t durationMs, plat::Handle handle) {
    plat::SetCommBreak(handle);
    plat::Sleep(durationMs);
    plat::ClearCommBreak(handle);
    return kComOk;
}

int ComWrite(plat::Handle handle, const uint8_t* buffer, uint32_t count, uint32_t* written) {
    uint32_t n = 0;
    if (!plat::WriteFile(handle, buffer, count, &n)) {
        return kComFailed;
    }
    if (written != nullptr) {
        *written = n;
    }
    return n == count ? kComOk : kComShortWrite;
}

int ComRead(plat::Handle handle, uint8_t* buffer, uint32_t count, uint32_t* read) {
    if (read != nullptr) {
        *read = 0;
    }
    uint32_t n = 0;
    if (!plat::ReadFile(handle, buffer, count & 0xFFFFu, &n)) {
        return kComFailed;
    }
    if (n == 0) {
        return kComFailed; // the reply timeout ran out with nothing received
    }
    if (read != nullptr) {
        *read = n;
    }
    return kComOk;
}

int ComSleep(uint32_t durationMs) {
    plat::Sleep(durationMs);
    return kComOk;
}

bool ComTakeRs485(plat::Handle handle, uint32_t* refusal) {
    *refusal = 0;
    plat::Dcb before;
    if (!plat::GetCommState(handle, &before)) {
        *refusal = plat::LastError();
        return false;
    }
    plat::Dcb toggle = before;
    toggle.fRtsControl = plat::kRtsToggle;
    plat::Dcb now;
    if (!plat::SetCommState(handle, toggle) || !plat::GetCommState(handle, &now)) {
        *refusal = plat::LastError(); // before the restore's calls leave theirs
    } else if (now.fRtsControl == plat::kRtsToggle) {
        return true;
    }
    // Refused, or taken and another mode read back: the port goes back to what it was,
    // whatever a failed call may have changed on the way.
    plat::SetCommState(handle, before);
    return false;
}

bool ComLineErrors(plat::Handle handle, plat::LineErrors* errors) {
    return plat::TakeLineErrors(handle, errors);
}

} // namespace merix
