// Fake platform backend: deterministic, scripted, and recording. See fake_platform.h.
#include "platform/fake_platform.h"

#include "platform/net_socket.h"
#include "platform/port_ops.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>

namespace merix::fake {

namespace {

constexpr plat::Handle kFirstHandle = 100;
constexpr uint64_t kDefaultTickUs = 15'625; // Windows' default timer period, 64 Hz

struct Machine {
    std::vector<std::string> calls;
    std::deque<Piece> input; // what the driver can read, in order
    std::deque<std::vector<Piece>> replies;
    std::vector<std::vector<uint8_t>> written;
    std::vector<WireSpan> wireTimes;
    uint64_t wireFreeUs = 0; // when the last byte written so far has left
    struct Failure {
        int times = 0;
        uint32_t code = 0;
    };
    std::map<std::string, Failure> failures;
    uint32_t lastError = 0;
    int64_t shortWrite = -1;
    uint64_t writeDelayUs = 0;
    bool echo = false;      ///< the line hears its own requests
    uint64_t lookUpMs = 0;  ///< a network port's name look-up
    uint64_t connectMs = 0; ///< the connect after it
    std::vector<std::string> existing;
    int64_t frequency = 1'000'000;
    int64_t ticksPerRead = 1;
    int64_t counter = 0;
    uint64_t clockUs = 0;
    uint64_t granularity = 1;
    int priorityResult = 1;
    int priority = 0;
    plat::LocalTime now{2026, 12, 8, 10, 0, 0, 0, 0};
    plat::CommTimeouts timeouts;
    plat::Dcb dcb;
    std::map<plat::Handle, std::string> openHandles; // and the name each was opened by
    // Open, but their device was removed: each call fails with the code its driver chose.
    std::map<plat::Handle, uint32_t> deadHandles;
    std::set<std::string> unplugged; // names with no device behind them
    bool stalled = false;
    bool windowsSleep = false;
    int periodRaises = 0;
    std::deque<plat::LineErrors> lineErrorQueue; // one entry per write, as replies
    plat::LineErrors lineErrors;                 // seen, not yet reported
    bool lineErrorsReported = true;
    bool rs485Supported = false;
    uint32_t rs485Refusal = plat::kErrorInvalidParameter;
    bool rs485Ignored = false;
    bool paced = false;
    uint64_t turnaroundUs = 0;
    bool confirmsLineModes = false;
};

Machine& M() {
    static Machine machine;
    return machine;
}

void Record(std::string call) {
    M().calls.push_back(std::move(call));
}

bool Fails(const std::string& function) {
    auto it = M().failures.find(function);
    if (it == M().failures.end() || it->second.times == 0) {
        return false;
    }
    --it->second.times;
    M().lastError = it->second.code;
    return true;
}

/// A call on a handle that is not open fails as on Windows; one on a handle whose device was
/// removed fails with the code the unplug named.
bool Unusable(plat::Handle h) {
    if (M().openHandles.count(h) == 0) {
        M().lastError = plat::kErrorInvalidHandle;
        return true;
    }
    const auto it = M().deadHandles.find(h);
    if (it == M().deadHandles.end()) {
        return false;
    }
    M().lastError = it->second;
    return true;
}

/// Unusable, but for a network port's settings and timeouts, which it keeps for the server
/// while its connection is down, as the real backends do.
bool Unsettable(plat::Handle h) {
    const auto it = M().openHandles.find(h);
    if (it != M().openHandles.end() &&
        plat::KindOfName(it->second.c_str()) != plat::PortKind::kDevice) {
        return false;
    }
    return Unusable(h);
}

/// A live handle holds its name: Windows opens a COM port for exclusive access.
bool HeldOpen(const std::string& name) {
    for (const auto& [handle, opened] : M().openHandles) {
        if (opened == name && M().deadHandles.count(handle) == 0) {
            return true;
        }
    }
    return false;
}

void AdvanceUs(uint64_t us) {
    // The counter follows the clock exactly, whatever the step: kept as a sum of whole
    // microseconds' worth of ticks would drift at 15.625 ms steps.
    const uint64_t before = M().clockUs;
    M().clockUs += us;
    const auto ticks = [](uint64_t t) {
        const auto f = static_cast<uint64_t>(M().frequency < 0 ? 0 : M().frequency);
        return static_cast<int64_t>(t / 1'000'000 * f + t % 1'000'000 * f / 1'000'000);
    };
    M().counter += ticks(M().clockUs) - ticks(before);
}

void Advance(uint64_t ms) {
    AdvanceUs(ms * 1000);
}

/// The line errors seen, as ClearCommError's flags; reported, they are gone.
uint32_t TakeErrorFlags() {
    const plat::LineErrors& e = M().lineErrors;
    const uint32_t flags = (e.framing != 0 ? plat::kCeFrame : 0) |
                           (e.parity != 0 ? plat::kCeRxParity : 0) |
                           (e.overrun != 0 ? plat::kCeOverrun : 0);
    M().lineErrors = plat::LineErrors{};
    return flags;
}

/// The lowest handle number not open: closed numbers come back, as on every system.
plat::Handle FreeHandle() {
    plat::Handle h = kFirstHandle;
    while (M().openHandles.count(h) != 0) {
        ++h;
    }
    return h;
}

/// One character's time on the wire for the port's DCB, in microseconds: start bit, data
/// bits, parity bit and stop bits.
double CharacterUs() {
    const plat::Dcb& d = M().dcb;
    if (d.baudRate == 0) {
        return 0.0;
    }
    const double stopBits = d.stopBits == 0 ? 1.0 : d.stopBits == 1 ? 1.5 : 2.0;
    const double bits = 1.0 + d.byteSize + (d.parity != 0 ? 1.0 : 0.0) + stopBits;
    return bits * 1e6 / d.baudRate;
}

/// A device server reached within `boundMs`, as the real backends reach one: the name looked up
/// and the connect made within the one bound, the clock on by what they took. False with the
/// code of what ran out: the look-up (WSATRY_AGAIN) or the connect (WSAETIMEDOUT).
bool ServerReached(uint64_t boundMs) {
    if (M().lookUpMs > boundMs) {
        Advance(boundMs);
        M().lastError = plat::net::kErrorTryAgain;
        return false;
    }
    if (M().lookUpMs + M().connectMs > boundMs) {
        Advance(boundMs);
        M().lastError = plat::net::kErrorTimedOut;
        return false;
    }
    Advance(M().lookUpMs + M().connectMs);
    return true;
}

/// What a request of `n` bytes, on the wire from `onWireUs`, brings into the input: its echo,
/// where the line hears itself, and the next scripted reply, where a station heard it.
void QueueAnswers(bool heard, const uint8_t* bytes, uint32_t n, uint64_t onWire) {
    if (M().echo && heard) {
        fake::Piece echo = fake::Bytes(std::vector<uint8_t>(bytes, bytes + n));
        echo.readyUs = onWire;
        M().input.push_back(std::move(echo));
    }
    if (!M().replies.empty()) {
        uint64_t at = M().wireFreeUs + M().turnaroundUs;
        // No station answers before the 3.5 characters of silence that end the request (at
        // least 1.75 ms: Modbus over serial line, 2.5.1.1).
        const uint64_t ready =
            M().wireFreeUs +
            std::max<uint64_t>(1750, static_cast<uint64_t>(fake::CharacterUs() * 3.5));
        for (auto& piece : M().replies.front()) {
            if (!heard) {
                break;
            }
            if (M().paced) {
                piece.atUs = at;
                at += static_cast<uint64_t>(fake::CharacterUs() * piece.bytes.size() + 0.5);
            }
            piece.readyUs = ready;
            M().input.push_back(std::move(piece));
        }
        M().replies.pop_front();
    }
}

uint32_t BytesBeforeSilence() {
    uint32_t n = 0;
    for (const auto& piece : M().input) {
        if (piece.silence || piece.readyUs > M().clockUs) {
            break;
        }
        n += static_cast<uint32_t>(piece.bytes.size());
    }
    return n;
}

} // namespace

Piece Bytes(std::vector<uint8_t> bytes) {
    return Piece{std::move(bytes), false};
}
Piece Silence() {
    return Piece{{}, true};
}

void Reset() {
    M() = Machine{};
}

const std::vector<std::string>& Calls() {
    return M().calls;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& call : M().calls) {
        if (call.rfind(prefix, 0) == 0) {
            out.push_back(call);
        }
    }
    return out;
}

void ClearCalls() {
    M().calls.clear();
}

void SetPending(std::vector<uint8_t> bytes) {
    M().input.push_front(Bytes(std::move(bytes)));
}
void PaceReplies(uint64_t turnaroundUs) {
    M().paced = true;
    M().turnaroundUs = turnaroundUs;
}
void QueueReply(std::vector<Piece> pieces) {
    M().replies.push_back(std::move(pieces));
}
void QueueReply(std::vector<uint8_t> frame) {
    QueueReply(std::vector<Piece>{Bytes(std::move(frame))});
}
void QueueSilence() {
    QueueReply(std::vector<Piece>{});
}
void QueueLineErrors(plat::LineErrors errors) {
    M().lineErrorQueue.push_back(errors);
}
void SeeLineErrors(plat::LineErrors errors) {
    M().lineErrors.framing += errors.framing;
    M().lineErrors.parity += errors.parity;
    M().lineErrors.overrun += errors.overrun;
}
void SetLineErrorsReported(bool reported) {
    M().lineErrorsReported = reported;
}
void SetRs485Supported(bool supported, uint32_t refusal) {
    M().rs485Supported = supported;
    M().rs485Refusal = refusal;
}
void SetRs485Ignored(bool ignored) {
    M().rs485Ignored = ignored;
}
void SetConfirmsLineModes(bool confirms) {
    M().confirmsLineModes = confirms;
}
const std::vector<std::vector<uint8_t>>& Written() {
    return M().written;
}
const std::vector<WireSpan>& WireTimes() {
    return M().wireTimes;
}
void ClearWritten() {
    M().written.clear();
    M().wireTimes.clear();
    M().calls.clear();
}
void FailNext(const std::string& function, int times, uint32_t code) {
    M().failures[function] = Machine::Failure{times, code};
}
void Unplug(const std::string& name, uint32_t code) {
    M().unplugged.insert(name);
    for (const auto& [handle, opened] : M().openHandles) {
        if (opened == name) {
            M().deadHandles[handle] = code;
        }
    }
}
void Replug(const std::string& name) {
    M().unplugged.erase(name);
}
std::string OpenedAs(plat::Handle h) {
    const auto it = M().openHandles.find(h);
    return it == M().openHandles.end() ? std::string() : it->second;
}
int OpenHandles() {
    return static_cast<int>(M().openHandles.size());
}
void StallWrites() {
    M().stalled = true;
}
void SetWindowsSleep(bool on) {
    M().windowsSleep = on;
}
int TimerPeriodRaises() {
    return M().periodRaises;
}
uint64_t ClockMicros() {
    return M().clockUs;
}
void AdvanceMicros(uint64_t us) {
    AdvanceUs(us);
}
void ShortWriteNext(uint32_t bytes) {
    M().shortWrite = bytes;
}
void EchoRequests(bool on) {
    M().echo = on;
}
void DelayWrites(uint64_t us) {
    M().writeDelayUs = us;
}
void SlowServer(uint64_t lookUpMs, uint64_t connectMs) {
    M().lookUpMs = lookUpMs;
    M().connectMs = connectMs;
}
void SetExistingPorts(std::vector<std::string> names) {
    M().existing = std::move(names);
}

void SetCounter(int64_t frequency, int64_t ticksPerRead) {
    M().frequency = frequency;
    M().ticksPerRead = ticksPerRead;
}
void SetClockGranularity(uint64_t ms) {
    M().granularity = ms == 0 ? 1 : ms;
}
void AdvanceClock(uint64_t ms) {
    Advance(ms);
}
void SetPriorityResult(int result) {
    M().priorityResult = result;
}
int CurrentPriority() {
    return M().priority;
}
void SetNow(const plat::LocalTime& now) {
    M().now = now;
}
plat::CommTimeouts Timeouts() {
    return M().timeouts;
}
plat::Dcb CommState() {
    return M().dcb;
}
bool PortOpen() {
    return !M().openHandles.empty();
}

} // namespace merix::fake

namespace merix::plat {

using fake::M;

namespace {

// The fake's ports, devices and network ports alike: the calls of kFakeOps.
namespace port {

bool Close(Handle h) {
    fake::Record("CloseHandle");
    if (fake::Fails("CloseHandle")) {
        return false;
    }
    if (M().openHandles.erase(h) == 0) {
        M().lastError = kErrorInvalidHandle;
        return false;
    }
    M().deadHandles.erase(h); // closing a dead handle works, and lets the device go
    return true;
}

bool GetCommState(Handle h, Dcb* dcb) {
    fake::Record("GetCommState");
    if (fake::Fails("GetCommState") || fake::Unsettable(h)) {
        return false;
    }
    *dcb = M().dcb;
    return true;
}

bool SetCommState(Handle h, const Dcb& dcb) {
    fake::Record("SetCommState(" + std::to_string(dcb.baudRate) + ")");
    if (fake::Fails("SetCommState") || fake::Unsettable(h)) {
        return false;
    }
    // Wine takes these; Windows refuses them with ERROR_INVALID_PARAMETER.
    if (dcb.byteSize < 5 || dcb.byteSize > 8 || dcb.parity > 4 || dcb.stopBits > 2 ||
        WindowsRefusesFraming(dcb.byteSize, dcb.stopBits)) {
        M().lastError = kErrorInvalidParameter;
        return false;
    }
    if (dcb.fRtsControl == kRtsToggle && !M().rs485Supported && !M().rs485Ignored) {
        M().lastError = M().rs485Refusal;
        return false;
    }
    M().dcb = dcb;
    return true;
}

bool GetCommTimeouts(Handle h, CommTimeouts* timeouts) {
    fake::Record("GetCommTimeouts");
    if (fake::Fails("GetCommTimeouts") || fake::Unsettable(h)) {
        return false;
    }
    *timeouts = M().timeouts;
    return true;
}

bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
    fake::Record("SetCommTimeouts(" + std::to_string(timeouts.readTotalTimeoutConstant) + ")");
    if (fake::Fails("SetCommTimeouts") || fake::Unsettable(h)) {
        return false;
    }
    M().timeouts = timeouts;
    return true;
}

bool SetupComm(Handle h, uint32_t inQueue, uint32_t outQueue) {
    fake::Record("SetupComm(" + std::to_string(inQueue) + "," + std::to_string(outQueue) + ")");
    return !fake::Fails("SetupComm") && !fake::Unsettable(h);
}

bool PendingInput(Handle h, uint32_t* inQueue) {
    fake::Record("PendingInput");
    *inQueue = 0;
    if (fake::Unusable(h)) {
        return false;
    }
    *inQueue = fake::BytesBeforeSilence();
    return true;
}

bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue) {
    fake::Record("ClearCommError");
    *errors = 0;
    *inQueue = fake::BytesBeforeSilence();
    if (fake::Unusable(h)) {
        *inQueue = 0;
        return false;
    }
    if (fake::Fails("ClearCommError")) {
        return false;
    }
    *errors = fake::TakeErrorFlags();
    return true;
}

bool TakeLineErrors(Handle h, LineErrors* errors) {
    fake::Record("TakeLineErrors");
    *errors = LineErrors{};
    if (fake::Fails("TakeLineErrors") || fake::Unusable(h)) {
        return false;
    }
    if (!M().lineErrorsReported) {
        M().lastError = kErrorNotSupported;
        return false;
    }
    *errors = M().lineErrors;
    M().lineErrors = LineErrors{};
    return true;
}

bool Read(Handle h, void* buffer, uint32_t count, uint32_t* read) {
    fake::Record("ReadFile(" + std::to_string(count) + ")");
    *read = 0;
    if (fake::Fails("ReadFile") || fake::Unusable(h)) {
        return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    auto& input = M().input;
    const uint64_t deadline = M().clockUs + M().timeouts.readTotalTimeoutConstant * 1000ull;
    const double charUs = fake::CharacterUs();
    while (*read < count && !input.empty()) {
        fake::Piece& piece = input.front();
        if (piece.silence) {
            input.pop_front();
            break;
        }
        if (piece.readyUs > M().clockUs) {
            // Not received yet: the read waits for them, as a port's would, or ends first.
            if (piece.readyUs > deadline) {
                break;
            }
            fake::AdvanceUs(piece.readyUs - M().clockUs);
        }
        auto n = std::min<std::size_t>(count - *read, piece.bytes.size());
        if (piece.atUs != 0 && charUs > 0.0) {
            // Only the bytes on the wire by the deadline; the read waits for them.
            const double byDeadline =
                deadline < piece.atUs ? 0.0 : static_cast<double>(deadline - piece.atUs) / charUs;
            n = std::min<std::size_t>(n, static_cast<std::size_t>(byDeadline));
            if (n == 0) {
                break;
            }
            const auto arrived = piece.atUs + static_cast<uint64_t>(n * charUs + 0.5);
            if (arrived > M().clockUs) {
                fake::AdvanceUs(arrived - M().clockUs);
            }
            piece.atUs = arrived;
        }
        if (n > 0) { // an empty piece has no data pointer to copy from
            std::memcpy(out + *read, piece.bytes.data(), n);
        }
        *read += static_cast<uint32_t>(n);
        piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + static_cast<long>(n));
        if (piece.bytes.empty()) {
            input.pop_front();
        }
    }
    if (*read < count && deadline > M().clockUs) {
        fake::AdvanceUs(deadline - M().clockUs); // the total timeout ran out
    }
    return true;
}

bool Write(Handle h, const void* buffer, uint32_t count, uint32_t* written) {
    fake::Record("WriteFile(" + std::to_string(count) + ")");
    if (fake::Fails("WriteFile") || fake::Unusable(h)) {
        return false;
    }
    if (M().stalled) {
        *written = 0;
        const CommTimeouts& t = M().timeouts;
        const uint64_t bound = static_cast<uint64_t>(t.writeTotalTimeoutMultiplier) * count +
                               t.writeTotalTimeoutConstant;
        if (bound == 0) {
            fake::Advance(fake::kStalledForeverMs); // Win32: no write timeout, no end
            M().lastError = kErrorGenFailure;
            return false;
        }
        fake::Advance(bound); // the write timeout ran out: success, with a short count
        return true;
    }
    uint32_t n = count;
    if (M().shortWrite >= 0) {
        n = std::min<uint32_t>(count, static_cast<uint32_t>(M().shortWrite));
        M().shortWrite = -1;
    }
    fake::AdvanceUs(M().writeDelayUs); // the call takes its time before a byte goes out
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    M().written.emplace_back(bytes, bytes + n);
    *written = n;
    const uint64_t onWire = std::max(M().clockUs, M().wireFreeUs);
    M().wireFreeUs = onWire + static_cast<uint64_t>(fake::CharacterUs() * n + 0.5);
    M().wireTimes.push_back(fake::WireSpan{onWire, M().wireFreeUs});
    // Sent with the transmitter off, the request reaches nobody.
    const bool heard = !(M().rs485Ignored && M().dcb.fRtsControl == kRtsToggle);
    fake::QueueAnswers(heard, bytes, n, onWire);
    if (!M().lineErrorQueue.empty()) {
        fake::SeeLineErrors(M().lineErrorQueue.front());
        M().lineErrorQueue.pop_front();
    }
    return true;
}

bool WaitWritten(Handle h) {
    fake::Record("WaitWritten");
    return !fake::Fails("WaitWritten") && !fake::Unusable(h); // at once, as on Windows
}

bool PurgeInput(Handle h) {
    fake::Record("PurgeComm");
    if (fake::Fails("PurgeComm") || fake::Unusable(h)) {
        return false;
    }
    while (!M().input.empty() && !M().input.front().silence) {
        M().input.pop_front(); // what has arrived; a reply still to come is not touched
    }
    return true;
}

PortKind Kind(Handle h) {
    return KindOfName(fake::OpenedAs(h).c_str());
}

bool Lost(Handle h) {
    const auto dead = M().deadHandles.find(h);
    if (Kind(h) == PortKind::kDevice || dead == M().deadHandles.end()) {
        return false;
    }
    M().lastError = dead->second;
    return true;
}

bool Reconnect(Handle h) {
    fake::Record("Reconnect");
    if (Kind(h) == PortKind::kDevice) {
        M().lastError = kErrorInvalidHandle;
        return false;
    }
    if (M().unplugged.count(fake::OpenedAs(h)) != 0) {
        M().lastError = 10061; // WSAECONNREFUSED: the server is not back yet
        return false;
    }
    const uint32_t bound = M().timeouts.readTotalTimeoutConstant;
    if (!fake::ServerReached(bound == 0 ? 1000 : bound)) {
        return false;
    }
    M().deadHandles.erase(h);
    return true;
}

uint32_t Unanswered(Handle) {
    return 0;
}

bool Refused(Handle, int, const char**, uint32_t*) {
    return false;
}

bool Escape(Handle h, int function) {
    fake::Record("EscapeCommFunction(" + std::to_string(function) + ")");
    return !fake::Fails("EscapeCommFunction") && !fake::Unusable(h);
}

bool SetBreak(Handle) {
    fake::Record("SetCommBreak");
    return true;
}

bool ClearBreak(Handle) {
    fake::Record("ClearCommBreak");
    return true;
}

} // namespace port

constexpr PortOps kFakeOps{
    .kind = port::Kind,
    .close = port::Close,
    .getCommState = port::GetCommState,
    .setCommState = port::SetCommState,
    .getCommTimeouts = port::GetCommTimeouts,
    .setCommTimeouts = port::SetCommTimeouts,
    .setupComm = port::SetupComm,
    .clearCommError = port::ClearCommError,
    .pendingInput = port::PendingInput,
    .takeLineErrors = port::TakeLineErrors,
    .read = port::Read,
    .write = port::Write,
    .waitWritten = port::WaitWritten,
    .purgeInput = port::PurgeInput,
    .escape = port::Escape,
    .setBreak = port::SetBreak,
    .clearBreak = port::ClearBreak,
    .connectionLost = port::Lost,
    .reconnect = port::Reconnect,
    .unansweredSettings = port::Unanswered,
    .refusedSocketOption = port::Refused,
};

} // namespace

// Every handle of the fake, device or network port, open or not, is the fake's: its calls tell
// a network port by the name it was opened by, and record a call on any handle.
const PortOps& OpsOf(Handle) {
    return kFakeOps;
}

Handle CreateFileA(const char* name, uint32_t connectTimeoutMs) {
    fake::Record(std::string("CreateFileA(") + name + ")");
    const auto& existing = M().existing;
    if (fake::Fails("CreateFileA")) {
        return kInvalidHandle;
    }
    if (M().unplugged.count(name) != 0 ||
        (!existing.empty() &&
         std::find(existing.begin(), existing.end(), name) == existing.end())) {
        // A device server that is down refuses the connection.
        M().lastError = KindOfName(name) == PortKind::kDevice ? kErrorFileNotFound : 10061;
        return kInvalidHandle;
    }
    if (KindOfName(name) != PortKind::kDevice && !fake::ServerReached(connectTimeoutMs)) {
        return kInvalidHandle;
    }
    if (fake::HeldOpen(name) && std::strcmp(name, "NUL") != 0) {
        M().lastError = kErrorAccessDenied; // open already: "cannot be opened again"
        return kInvalidHandle;
    }
    M().timeouts = CommTimeouts{};
    const Handle h = fake::FreeHandle();
    M().openHandles[h] = name;
    return h;
}

bool ConfirmsLineModes() {
    return M().confirmsLineModes;
}

Handle KeepNetworkPort(const char* name, uint32_t error) {
    fake::Record(std::string("KeepNetworkPort(") + name + ")");
    if (KindOfName(name) == PortKind::kDevice) {
        M().lastError = kErrorInvalidName;
        return kInvalidHandle;
    }
    const Handle h = fake::FreeHandle();
    M().openHandles[h] = name;
    M().deadHandles[h] = error;
    return h;
}

void StopNetwork() {
    fake::Record("StopNetwork");
}

bool SetLowLatency(Handle h) {
    if (!fake::Unusable(h)) {
        M().lastError = kErrorNotSupported; // as a pseudo-terminal answers
    }
    return false;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    fake::Record("QueryPerformanceFrequency");
    *frequency = M().frequency;
    return M().frequency > 0;
}

bool QueryPerformanceCounter(int64_t* count) {
    fake::Record("QueryPerformanceCounter");
    if (fake::Fails("QueryPerformanceCounter")) {
        return false; // the count is not written and the counter stands still
    }
    // The counter and the clock are one time: a busy-wait on the counter passes the clock's
    // time too, as a frame on the wire sees it.
    if (M().frequency > 0) {
        const auto ticks = static_cast<uint64_t>(M().ticksPerRead);
        const auto f = static_cast<uint64_t>(M().frequency);
        fake::AdvanceUs((ticks * 1'000'000 + f - 1) / f); // at least a microsecond a read
    }
    *count = M().counter;
    return M().frequency > 0;
}

int GetThreadPriority() {
    fake::Record("GetThreadPriority");
    if (fake::Fails("GetThreadPriority")) {
        return kThreadPriorityErrorReturn;
    }
    return M().priority;
}

int SetThreadPriority(int priority) {
    fake::Record("SetThreadPriority(" + std::to_string(priority) + ")");
    if (M().priorityResult == 1) {
        M().priority = priority;
    } else {
        M().lastError = kErrorAccessDenied;
    }
    return M().priorityResult;
}

uint32_t LastError() {
    return M().lastError;
}

void ClearLastError() {
    M().lastError = 0;
}

void TimeBeginPeriod(unsigned period) {
    fake::Record("TimeBeginPeriod(" + std::to_string(period) + ")");
    ++M().periodRaises;
}
void TimeEndPeriod(unsigned period) {
    fake::Record("TimeEndPeriod(" + std::to_string(period) + ")");
    --M().periodRaises;
}

void Sleep(uint32_t milliseconds) {
    fake::Record("Sleep(" + std::to_string(milliseconds) + ")");
    if (!M().windowsSleep) {
        fake::Advance(milliseconds);
        return;
    }
    if (milliseconds == 0) {
        return; // gives up the rest of the time slice only
    }
    // The wait is counted from the last tick, as the system's interrupt time shows it, and
    // ends at the first tick after it is due.
    const uint64_t tick = M().periodRaises > 0 ? 1000 : fake::kDefaultTickUs;
    const uint64_t now = M().clockUs;
    const uint64_t due = now / tick * tick + static_cast<uint64_t>(milliseconds) * 1000;
    const uint64_t wake = (due / tick + 1) * tick;
    fake::AdvanceUs(wake - now);
}

void Beep(uint32_t frequency, uint32_t milliseconds) {
    fake::Record("Beep(" + std::to_string(frequency) + "," + std::to_string(milliseconds) + ")");
}

uint64_t ClockMs() {
    return M().clockUs / 1000 / M().granularity * M().granularity;
}

LocalTime Now() {
    return M().now;
}

} // namespace merix::plat

#include "platform/port_calls.inc"
