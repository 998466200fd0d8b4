// Fake platform backend: deterministic, scripted, and recording. See fake_platform.h.
#include "platform/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>

namespace merix::fake {

namespace {

constexpr plat::Handle kFirstHandle = 100;

struct Machine {
    std::vector<std::string> calls;
    std::deque<Piece> input; // what the driver can read, in order
    std::deque<std::vector<Piece>> replies;
    std::vector<std::vector<uint8_t>> written;
    std::map<std::string, int> failures;
    int64_t shortWrite = -1;
    std::vector<std::string> existing;
    int64_t frequency = 1'000'000;
    int64_t ticksPerRead = 1;
    int64_t counter = 0;
    uint64_t clockMs = 0;
    uint64_t granularity = 1;
    int priorityResult = 1;
    int priority = 0;
    plat::LocalTime now{2026, 12, 8, 10, 0, 0, 0, 0};
    plat::CommTimeouts timeouts;
    plat::Dcb dcb;
    bool open = false;
    plat::Handle nextHandle = kFirstHandle;
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
    if (it == M().failures.end() || it->second == 0) {
        return false;
    }
    --it->second;
    return true;
}

void Advance(uint64_t ms) {
    M().clockMs += ms;
    M().counter += static_cast<int64_t>(ms) * M().frequency / 1000;
}

uint32_t BytesBeforeSilence() {
    uint32_t n = 0;
    for (const auto& piece : M().input) {
        if (piece.silence) {
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
void QueueReply(std::vector<Piece> pieces) {
    M().replies.push_back(std::move(pieces));
}
void QueueReply(std::vector<uint8_t> frame) {
    QueueReply(std::vector<Piece>{Bytes(std::move(frame))});
}
void QueueSilence() {
    QueueReply(std::vector<Piece>{});
}
const std::vector<std::vector<uint8_t>>& Written() {
    return M().written;
}
void FailNext(const std::string& function, int times) {
    M().failures[function] = times;
}
void ShortWriteNext(uint32_t bytes) {
    M().shortWrite = bytes;
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
    return M().open;
}

} // namespace merix::fake

namespace merix::plat {

using fake::M;

Handle CreateFileA(const char* name) {
    fake::Record(std::string("CreateFileA(") + name + ")");
    const auto& existing = M().existing;
    if (fake::Fails("CreateFileA") ||
        (!existing.empty() &&
         std::find(existing.begin(), existing.end(), name) == existing.end())) {
        return kInvalidHandle;
    }
    M().open = true;
    M().timeouts = CommTimeouts{};
    return M().nextHandle++;
}

bool CloseHandle(Handle) {
    fake::Record("CloseHandle");
    if (fake::Fails("CloseHandle")) {
        return false;
    }
    M().open = false;
    return true;
}

bool GetCommState(Handle, Dcb* dcb) {
    fake::Record("GetCommState");
    if (fake::Fails("GetCommState")) {
        return false;
    }
    *dcb = M().dcb;
    return true;
}

bool SetCommState(Handle, const Dcb& dcb) {
    fake::Record("SetCommState(" + std::to_string(dcb.baudRate) + ")");
    if (fake::Fails("SetCommState")) {
        return false;
    }
    M().dcb = dcb;
    return true;
}

bool GetCommTimeouts(Handle, CommTimeouts* timeouts) {
    fake::Record("GetCommTimeouts");
    if (fake::Fails("GetCommTimeouts")) {
        return false;
    }
    *timeouts = M().timeouts;
    return true;
}

bool SetCommTimeouts(Handle, const CommTimeouts& timeouts) {
    fake::Record("SetCommTimeouts(" + std::to_string(timeouts.readTotalTimeoutConstant) + ")");
    if (fake::Fails("SetCommTimeouts")) {
        return false;
    }
    M().timeouts = timeouts;
    return true;
}

bool SetupComm(Handle, uint32_t inQueue, uint32_t outQueue) {
    fake::Record("SetupComm(" + std::to_string(inQueue) + "," + std::to_string(outQueue) + ")");
    return !fake::Fails("SetupComm");
}

bool ClearCommError(Handle, uint32_t* errors, uint32_t* inQueue) {
    fake::Record("ClearCommError");
    *errors = 0;
    *inQueue = fake::BytesBeforeSilence();
    return !fake::Fails("ClearCommError");
}

bool ReadFile(Handle, void* buffer, uint32_t count, uint32_t* read) {
    fake::Record("ReadFile(" + std::to_string(count) + ")");
    *read = 0;
    if (fake::Fails("ReadFile")) {
        return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    auto& input = M().input;
    while (*read < count && !input.empty()) {
        fake::Piece& piece = input.front();
        if (piece.silence) {
            input.pop_front();
            break;
        }
        const auto n = std::min<std::size_t>(count - *read, piece.bytes.size());
        if (n > 0) { // an empty piece has no data pointer to copy from
            std::memcpy(out + *read, piece.bytes.data(), n);
        }
        *read += static_cast<uint32_t>(n);
        piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + static_cast<long>(n));
        if (piece.bytes.empty()) {
            input.pop_front();
        }
    }
    if (*read < count) {
        fake::Advance(M().timeouts.readTotalTimeoutConstant); // the total timeout ran out
    }
    return true;
}

bool WriteFile(Handle, const void* buffer, uint32_t count, uint32_t* written) {
    fake::Record("WriteFile(" + std::to_string(count) + ")");
    if (fake::Fails("WriteFile")) {
        return false;
    }
    uint32_t n = count;
    if (M().shortWrite >= 0) {
        n = std::min<uint32_t>(count, static_cast<uint32_t>(M().shortWrite));
        M().shortWrite = -1;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    M().written.emplace_back(bytes, bytes + n);
    *written = n;
    if (!M().replies.empty()) {
        for (auto& piece : M().replies.front()) {
            M().input.push_back(std::move(piece));
        }
        M().replies.pop_front();
    }
    return true;
}

bool EscapeCommFunction(Handle, int function) {
    fake::Record("EscapeCommFunction(" + std::to_string(function) + ")");
    return !fake::Fails("EscapeCommFunction");
}

bool SetCommBreak(Handle) {
    fake::Record("SetCommBreak");
    return true;
}

bool ClearCommBreak(Handle) {
    fake::Record("ClearCommBreak");
    return true;
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
    M().counter += M().ticksPerRead;
    *count = M().counter;
    return M().frequency > 0;
}

int GetThreadPriority() {
    fake::Record("GetThreadPriority");
    return M().priority;
}

int SetThreadPriority(int priority) {
    fake::Record("SetThreadPriority(" + std::to_string(priority) + ")");
    if (M().priorityResult == 1) {
        M().priority = priority;
    }
    return M().priorityResult;
}

void TimeBeginPeriod(unsigned period) {
    fake::Record("TimeBeginPeriod(" + std::to_string(period) + ")");
}
void TimeEndPeriod(unsigned period) {
    fake::Record("TimeEndPeriod(" + std::to_string(period) + ")");
}

void Sleep(uint32_t milliseconds) {
    fake::Record("Sleep(" + std::to_string(milliseconds) + ")");
    fake::Advance(milliseconds);
}

void Beep(uint32_t frequency, uint32_t milliseconds) {
    fake::Record("Beep(" + std::to_string(frequency) + "," + std::to_string(milliseconds) + ")");
}

uint64_t ClockMs() {
    return M().clockMs / M().granularity * M().granularity;
}

LocalTime Now() {
    return M().now;
}

} // namespace merix::plat
