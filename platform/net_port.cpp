#include "platform/net_port.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/last_error.h"
#include "platform/net_socket.h"
#include "platform/telnet_codec.h"

namespace merix::plat::netport {

namespace {

/// A serial port's input queue holds 1,200 bytes; bytes beyond a full buffer are lost as an
/// overflowing queue loses them, and counted as an overrun.
constexpr std::size_t kInputRoom = 4096;
constexpr std::size_t kChunk = 512;
/// How long a SetCommState waits for the server's answers at most; never longer than the
/// connect's bound, which is the reply timeout. Only the log needs them: a server that answers
/// late, another way (ser2net answers the line-state mask with a notification) or never (some
/// leave a SET-CONTROL they cannot carry out unanswered) must not hold up an open.
constexpr int64_t kAnswerWaitMs = 200;
/// Bounds a send of negotiation or control bytes, which a live server takes at once.
constexpr uint32_t kControlSendMs = 200;
/// A write without a write timeout still must not wait for ever on a stalled server.
constexpr uint32_t kWriteBoundMs = 5000;
/// A connect without a read timeout to bound it.
constexpr uint32_t kConnectBoundMs = 1000;

struct Port {
    bool used = false;
    NetAddress address;
    net::Socket socket = net::kNoSocket;
    uint32_t lostError = 0; ///< the code of the failure that lost the connection; 0 connected
    CommTimeouts timeouts;
    /// The open's bound, the host's reply timeout: the read timeout of the open (1000 ms, and
    /// still so after a ReOpenCom) must not stretch a negotiation or a reconnect past it.
    uint32_t openBoundMs = 0;
    Dcb dcb;
    bool dcbSet = false;
    telnet::Decoder decoder;
    telnet::Negotiation negotiation;
    std::array<uint8_t, kInputRoom> input{};
    std::size_t head = 0; ///< next byte to read
    std::size_t tail = 0; ///< end of the bytes held
    LineErrors errors;    ///< since they were last taken
    bool overflowed = false;
    bool lineStateKnown = false; ///< the server applies the mask, or sent a notification
    uint32_t asked = 0;          ///< COM port commands sent by the last SetCommState
    uint32_t answered = 0;       ///< those the server confirmed since, with the value sent
    /// The value each command sent (its first byte, a baud rate's four), for the confirmation.
    std::array<uint32_t, 32> askedValue{};
    /// Found at the open, for every reconnect: a reconnect asks no name server.
    net::AddressList addresses;
    net::RefusedOption refused[net::kMaxRefusedOptions];
    int refusedCount = 0;
};

std::array<Port, kPorts> g_ports;

bool Fail(uint32_t code) {
    detail::SetLastError(code);
    return false;
}

Port* Find(Handle h) {
    if (!Owns(h)) {
        return nullptr;
    }
    Port& port = g_ports[h - kFirstHandle];
    return port.used ? &port : nullptr;
}

bool IsRfc2217(const Port& port) {
    return port.address.kind == PortKind::kRfc2217;
}

void Drop(Port& port, uint32_t code) {
    net::Close(port.socket);
    port.socket = net::kNoSocket;
    port.lostError = code == 0 ? net::kErrorConnectionClosed : code;
}

bool SendControl(Port& port, const uint8_t* bytes, std::size_t size) {
    uint32_t error = 0;
    if (!net::Send(port.socket, bytes, size, kControlSendMs, &error)) {
        Drop(port, error);
        return false;
    }
    return true;
}

void Keep(Port& port, uint8_t byte) {
    if (port.tail == port.input.size() && port.head > 0) {
        std::memmove(port.input.data(), port.input.data() + port.head, port.tail - port.head);
        port.tail -= port.head;
        port.head = 0;
    }
    if (port.tail == port.input.size()) {
        port.overflowed = true;
        return;
    }
    port.input[port.tail++] = byte;
}

void NoteLineState(Port& port, uint8_t state) {
    port.lineStateKnown = true;
    // A break holds the line at space: no stop bit, so a framing error too.
    if ((state & (telnet::kLineFraming | telnet::kLineBreak)) != 0) {
        ++port.errors.framing;
    }
    if ((state & telnet::kLineParity) != 0) {
        ++port.errors.parity;
    }
    if ((state & telnet::kLineOverrun) != 0) {
        ++port.errors.overrun;
    }
}

/// A subnegotiation of COM port control from the server: an answer to a command, or a
/// notification.
void Subnegotiated(Port& port, std::span<const uint8_t> sub) {
    if (sub.size() < 2 || sub[0] != telnet::kOptionComPort || sub[1] <= telnet::kServerAnswer) {
        return;
    }
    const auto command = static_cast<uint8_t>(sub[1] - telnet::kServerAnswer);
    // The server answers with the value it applies: another value confirms nothing. A baud
    // rate is four bytes, every other setting one.
    uint32_t value = 0;
    for (std::size_t i = 2; i < sub.size() && i < 6; ++i) {
        value = value << 8 | sub[i];
    }
    // The mask's answer is the mask the server applies, whatever it is (see below).
    if (command < 32 &&
        (value == port.askedValue[command] || command == telnet::kSetLineStateMask)) {
        port.answered |= 1u << command;
    }
    if (command == telnet::kSetLineStateMask) {
        // The answer is the mask the server applies: 0, and it tells no line state.
        port.lineStateKnown = sub.size() >= 3 && (sub[2] & telnet::kLineErrorMask) != 0;
    } else if (command == telnet::kNotifyLineState && sub.size() >= 3) {
        // Debian's ser2net answers the mask so, with the line state now, not with the mask.
        port.answered |= 1u << telnet::kSetLineStateMask;
        NoteLineState(port, sub[2]);
    }
}

/// Takes the server's bytes apart: data into the input, negotiation answered at once.
void Decode(Port& port, const uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size && port.lostError == 0; ++i) {
        if (!IsRfc2217(port)) {
            Keep(port, bytes[i]);
            continue;
        }
        switch (port.decoder.Feed(bytes[i])) {
        case telnet::Event::kData:
            Keep(port, port.decoder.Data());
            break;
        case telnet::Event::kNegotiation:
            if (const uint8_t answer =
                    port.negotiation.Answer(port.decoder.Verb(), port.decoder.Option())) {
                uint8_t out[3];
                telnet::EncodeNegotiation(answer, port.decoder.Option(), out);
                SendControl(port, out, sizeof out);
            }
            break;
        case telnet::Event::kSubnegotiation:
            Subnegotiated(port, port.decoder.Sub());
            break;
        case telnet::Event::kNone:
            break;
        }
    }
}

/// Receives what the server sends within `waitMs`; false once the connection is lost.
bool Pump(Port& port, uint32_t waitMs) {
    if (port.lostError != 0) {
        return false;
    }
    uint8_t chunk[kChunk];
    uint32_t error = 0;
    const long n = net::Receive(port.socket, chunk, sizeof chunk, waitMs, &error);
    if (n < 0) {
        Drop(port, error);
        return false;
    }
    Decode(port, chunk, static_cast<std::size_t>(n));
    return port.lostError == 0;
}

/// Receives whatever is there already, without waiting.
bool PumpReady(Port& port) {
    for (int i = 0; i < 16; ++i) { // bounded: a server that floods cannot hold the caller
        const std::size_t before = port.tail;
        const uint32_t answeredBefore = port.answered;
        if (!Pump(port, 0)) {
            return false;
        }
        if (port.tail == before && port.answered == answeredBefore) {
            break;
        }
    }
    return true;
}

bool Offer(Port& port) {
    constexpr std::array<std::pair<uint8_t, uint8_t>, 5> kOffers{{
        {telnet::kWill, telnet::kOptionBinary},
        {telnet::kDo, telnet::kOptionBinary},
        {telnet::kWill, telnet::kOptionSuppressGoAhead},
        {telnet::kDo, telnet::kOptionSuppressGoAhead},
        {telnet::kWill, telnet::kOptionComPort},
    }};
    uint8_t out[3 * kOffers.size()];
    std::size_t n = 0;
    for (const auto& [verb, option] : kOffers) {
        port.negotiation.Asked(verb, option);
        n += telnet::EncodeNegotiation(verb, option, std::span(out).subspan(n));
    }
    return SendControl(port, out, n);
}

uint8_t ParityValue(uint8_t parity) {
    constexpr uint8_t kValues[] = {telnet::kParityNone, telnet::kParityOdd, telnet::kParityEven,
                                   telnet::kParityMark, telnet::kParitySpace};
    return parity < std::size(kValues) ? kValues[parity] : telnet::kParityNone;
}

uint8_t StopValue(uint8_t stopBits) {
    switch (stopBits) {
    case 1:
        return telnet::kStopOneAndAHalf;
    case 2:
        return telnet::kStopTwo;
    default:
        return telnet::kStopOne;
    }
}

/// Receives until `done(port)` or `deadline`; false once the connection is lost.
template <typename Done> bool PumpUntil(Port& port, int64_t deadline, Done done) {
    while (!done(port)) {
        const int64_t left = deadline - net::NowMs();
        if (left <= 0) {
            break;
        }
        if (!Pump(port, static_cast<uint32_t>(left))) {
            return false;
        }
    }
    return true;
}

/// Sends the line settings of `port.dcb` once the server has agreed to COM port control, and
/// waits for the answers up to kAnswerWaitMs, and never past `deadline`. A server that refuses
/// the option, or does not answer in time, is sent none: its own settings govern the line.
bool SendLineSettings(Port& port, int64_t deadline) {
    const uint32_t baud = port.dcb.baudRate;
    const uint8_t baudBytes[4] = {static_cast<uint8_t>(baud >> 24),
                                  static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 8),
                                  static_cast<uint8_t>(baud)};
    const uint8_t dataSize = port.dcb.byteSize;
    const uint8_t parity = ParityValue(port.dcb.parity);
    const uint8_t stop = StopValue(port.dcb.stopBits);
    const uint8_t control = telnet::kControlNoFlowControl;
    const uint8_t mask = telnet::kLineErrorMask;
    const struct {
        uint8_t command;
        std::span<const uint8_t> value;
    } commands[] = {
        {telnet::kSetBaudRate, baudBytes},    {telnet::kSetDataSize, {&dataSize, 1}},
        {telnet::kSetParity, {&parity, 1}},   {telnet::kSetStopSize, {&stop, 1}},
        {telnet::kSetControl, {&control, 1}}, {telnet::kSetLineStateMask, {&mask, 1}},
    };
    uint8_t out[128];
    std::size_t n = 0;
    port.asked = 0;
    port.answered = 0;
    for (const auto& c : commands) {
        n += telnet::EncodeComPort(c.command, c.value, std::span(out).subspan(n));
        port.asked |= 1u << c.command;
        uint32_t value = 0;
        for (const uint8_t b : c.value) {
            value = value << 8 | b;
        }
        port.askedValue[c.command] = value;
    }
    if (!PumpUntil(port, deadline, [](const Port& p) {
            return !p.negotiation.LocalAsked(telnet::kOptionComPort);
        })) {
        return false;
    }
    if (!port.negotiation.Local(telnet::kOptionComPort)) {
        port.asked = 0; // none sent
        return true;
    }
    if (!SendControl(port, out, n)) {
        return false;
    }
    const int64_t answers = std::min(deadline, net::NowMs() + kAnswerWaitMs);
    return PumpUntil(port, answers,
                     [](const Port& p) { return (p.answered & p.asked) == p.asked; });
}

bool SameAddresses(const net::AddressList& a, const net::AddressList& b) {
    if (a.count != b.count) {
        return false;
    }
    for (std::size_t i = 0; i < a.count; ++i) {
        if (a.at[i].length != b.at[i].length ||
            std::memcmp(a.at[i].bytes, b.at[i].bytes, a.at[i].length) != 0) {
            return false;
        }
    }
    return true;
}

/// Connects to the addresses found before; when none of them answers (or there are none yet),
/// asks for the name's addresses again within what is left of the bound, and tries those that
/// are new. The error of the connect tried, or else of the look-up.
bool Reach(Port& port, int64_t deadline, net::Connection* c, uint32_t* error) {
    const auto left = [deadline] {
        const int64_t ms = deadline - net::NowMs();
        return ms > 0 ? static_cast<uint32_t>(ms) : 0u;
    };
    const bool known = port.addresses.count > 0;
    if (known && net::Connect(port.addresses, left(), c, error)) {
        return true;
    }
    net::AddressList fresh;
    uint32_t lookUp = 0;
    if (left() == 0) {
        *error = known ? *error : net::kErrorTimedOut;
        return false;
    }
    if (!net::Resolve(port.address.host, port.address.port, left(), &fresh, &lookUp)) {
        *error = known ? *error : lookUp;
        return false;
    }
    if (known && SameAddresses(fresh, port.addresses)) {
        return false;
    }
    port.addresses = fresh;
    if (left() == 0) {
        *error = net::kErrorTimedOut;
        return false;
    }
    return net::Connect(port.addresses, left(), c, error);
}

/// A fresh connection for `port` within `timeoutMs`, look-up and RFC 2217's negotiation
/// included: the Telnet state and what arrived on the old one go.
bool Connect(Port& port, uint32_t timeoutMs) {
    const int64_t deadline = net::NowMs() + timeoutMs;
    net::Close(port.socket);
    port.socket = net::kNoSocket;
    port.decoder = telnet::Decoder{};
    port.negotiation = telnet::Negotiation{};
    port.head = port.tail = 0;
    port.errors = LineErrors{};
    port.overflowed = false;
    port.lineStateKnown = false;
    uint32_t error = net::kErrorHostNotFound;
    net::Connection c;
    if (!Reach(port, deadline, &c, &error)) {
        port.lostError = error;
        return Fail(error);
    }
    port.socket = c.socket;
    port.refusedCount = c.refusedCount;
    std::copy_n(c.refused, c.refusedCount, port.refused);
    port.lostError = 0;
    if (IsRfc2217(port) && (!Offer(port) || (port.dcbSet && !SendLineSettings(port, deadline)))) {
        return Fail(port.lostError);
    }
    return true;
}

/// The port, connected; else fails with the code that lost it.
Port* Live(Handle h) {
    Port* port = Find(h);
    if (port == nullptr) {
        Fail(kErrorInvalidHandle);
        return nullptr;
    }
    if (port->lostError != 0) {
        Fail(port->lostError);
        return nullptr;
    }
    return port;
}

std::size_t Held(const Port& port) {
    return port.tail - port.head;
}

/// What a connect or the server's answers may take: the shorter of the read timeout and the
/// open's bound, whichever is set; kConnectBoundMs where neither is.
uint32_t WaitBoundMs(const Port& port) {
    const uint32_t read = port.timeouts.readTotalTimeoutConstant;
    if (read == 0 || port.openBoundMs == 0) {
        const uint32_t bound = std::max(read, port.openBoundMs);
        return bound == 0 ? kConnectBoundMs : bound;
    }
    return std::min(read, port.openBoundMs);
}

} // namespace

bool Owns(Handle h) {
    return h >= kFirstHandle && h < kFirstHandle + kPorts;
}

namespace {

/// A free port for `address`, or nullptr (ERROR_TOO_MANY_OPEN_FILES).
Port* FreePort(const NetAddress& address, Handle* handle) {
    for (std::size_t i = 0; i < kPorts; ++i) {
        Port& port = g_ports[i];
        if (!port.used) {
            port = Port{};
            port.address = address;
            *handle = kFirstHandle + static_cast<Handle>(i);
            return &port;
        }
    }
    Fail(4);
    return nullptr;
}

} // namespace

Handle Open(const NetAddress& address, uint32_t connectTimeoutMs) {
    Handle handle = kInvalidHandle;
    Port* port = FreePort(address, &handle);
    if (port == nullptr) {
        return kInvalidHandle;
    }
    port->openBoundMs = connectTimeoutMs;
    if (!Connect(*port, WaitBoundMs(*port))) {
        net::Close(port->socket);
        *port = Port{};
        return kInvalidHandle;
    }
    port->used = true;
    return handle;
}

Handle OpenByName(const char* name, uint32_t connectTimeoutMs) {
    NetAddress address;
    if (!ParseNetAddress(name, &address)) {
        Fail(kErrorInvalidName);
        return kInvalidHandle;
    }
    return Open(address, connectTimeoutMs);
}

Handle Keep(const char* name, uint32_t error) {
    NetAddress address;
    if (!ParseNetAddress(name, &address)) {
        Fail(kErrorInvalidName);
        return kInvalidHandle;
    }
    Handle handle = kInvalidHandle;
    Port* port = FreePort(address, &handle);
    if (port == nullptr) {
        return kInvalidHandle;
    }
    port->used = true;
    port->lostError = error == 0 ? net::kErrorTimedOut : error;
    return handle;
}

bool Close(Handle h) {
    Port* port = Find(h);
    if (port == nullptr) {
        return Fail(kErrorInvalidHandle);
    }
    net::Close(port->socket);
    *port = Port{};
    return true;
}

bool GetCommState(Handle h, Dcb* dcb) {
    const Port* port = Find(h);
    if (port == nullptr) {
        return Fail(kErrorInvalidHandle);
    }
    *dcb = port->dcb;
    return true;
}

bool SetCommState(Handle h, const Dcb& dcb) {
    Port* port = Find(h);
    if (port == nullptr) {
        return Fail(kErrorInvalidHandle);
    }
    port->dcb = dcb;
    port->dcbSet = true;
    if (port->lostError != 0) {
        return true; // kept for the server: they go out when it is connected again
    }
    const int64_t deadline = net::NowMs() + WaitBoundMs(*port);
    return !IsRfc2217(*port) || SendLineSettings(*port, deadline) || Fail(port->lostError);
}

bool GetCommTimeouts(Handle h, CommTimeouts* timeouts) {
    const Port* port = Find(h);
    if (port == nullptr) {
        return Fail(kErrorInvalidHandle);
    }
    *timeouts = port->timeouts;
    return true;
}

bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
    Port* port = Find(h);
    if (port == nullptr) {
        return Fail(kErrorInvalidHandle);
    }
    port->timeouts = timeouts;
    return true;
}

bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue) {
    *errors = 0;
    *inQueue = 0;
    Port* port = Live(h);
    if (port == nullptr) {
        return false;
    }
    if (!PumpReady(*port)) {
        return Fail(port->lostError);
    }
    const LineErrors& e = port->errors;
    *errors = (e.framing != 0 ? kCeFrame : 0) | (e.parity != 0 ? kCeRxParity : 0) |
              (e.overrun != 0 ? kCeOverrun : 0) | (port->overflowed ? kCeRxOver : 0);
    port->errors = LineErrors{};
    port->overflowed = false;
    *inQueue = static_cast<uint32_t>(Held(*port));
    return true;
}

bool Pending(Handle h, uint32_t* inQueue) {
    *inQueue = 0;
    Port* port = Live(h);
    if (port == nullptr) {
        return false;
    }
    if (!PumpReady(*port)) {
        return Fail(port->lostError);
    }
    *inQueue = static_cast<uint32_t>(Held(*port));
    return true;
}

bool TakeLineErrors(Handle h, LineErrors* errors) {
    *errors = LineErrors{};
    Port* port = Live(h);
    if (port == nullptr) {
        return false;
    }
    if (!PumpReady(*port)) {
        return Fail(port->lostError);
    }
    *errors = port->errors;
    errors->overrun += port->overflowed ? 1 : 0;
    port->errors = LineErrors{};
    port->overflowed = false;
    if (!IsRfc2217(*port) || !port->lineStateKnown) {
        *errors = LineErrors{}; // nothing to tell them by, but an overflow of our own
        return Fail(kErrorNotSupported);
    }
    return true;
}

bool PurgeInput(Handle h) {
    Port* port = Live(h);
    if (port == nullptr) {
        return false;
    }
    if (IsRfc2217(*port)) {
        uint8_t out[8];
        const uint8_t which = telnet::kPurgeReceiveBuffer;
        const std::size_t n = telnet::EncodeComPort(telnet::kPurgeData, {&which, 1}, out);
        if (!SendControl(*port, out, n)) {
            return Fail(port->lostError);
        }
    }
    const bool live = PumpReady(*port);
    port->head = port->tail = 0;
    return live || Fail(port->lostError);
}

bool Read(Handle h, void* buffer, uint32_t count, uint32_t* read) {
    *read = 0;
    Port* port = Live(h);
    if (port == nullptr) {
        return false;
    }
    const CommTimeouts& t = port->timeouts;
    // All fields 0 waits until the buffer is full, as Win32 does.
    const bool unbounded = t.readIntervalTimeout == 0 && t.readTotalTimeoutMultiplier == 0 &&
                           t.readTotalTimeoutConstant == 0;
    const int64_t deadline =
        net::NowMs() + t.readTotalTimeoutConstant +
        static_cast<int64_t>(t.readTotalTimeoutMultiplier) * static_cast<int64_t>(count);
    auto* out = static_cast<uint8_t*>(buffer);
    for (;;) {
        const std::size_t take = std::min<std::size_t>(Held(*port), count - *read);
        std::memcpy(out + *read, port->input.data() + port->head, take);
        port->head += take;
        *read += static_cast<uint32_t>(take);
        if (*read == count) {
            return true;
        }
        const int64_t left = deadline - net::NowMs();
        if (!unbounded && left <= 0) {
            return true;
        }
        if (!Pump(*port, unbounded ? kConnectBoundMs : static_cast<uint32_t>(left))) {
            // What arrived before the loss is the caller's; the next call tells the loss.
            return *read > 0 || Fail(port->lostError);
        }
    }
}

bool Write(Handle h, const void* buffer, uint32_t count, uint32_t* written) {
    *written = 0;
    Port* port = Live(h);
    if (port == nullptr) {
        return false;
    }
    const CommTimeouts& t = port->timeouts;
    const uint64_t bound =
        static_cast<uint64_t>(t.writeTotalTimeoutMultiplier) * count + t.writeTotalTimeoutConstant;
    const auto boundMs =
        static_cast<uint32_t>(bound == 0 || bound > kWriteBoundMs ? kWriteBoundMs : bound);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint8_t out[2 * kChunk];
    while (*written < count) {
        const uint32_t piece = std::min<uint32_t>(count - *written, kChunk);
        std::span<const uint8_t> data(bytes + *written, piece);
        std::size_t n = piece;
        const uint8_t* send = data.data();
        if (IsRfc2217(*port)) {
            n = telnet::EncodeData(data, out); // 0xFF would start a command: doubled
            send = out;
        }
        uint32_t error = 0;
        if (!net::Send(port->socket, send, n, boundMs, &error)) {
            Drop(*port, error);
            return Fail(error);
        }
        *written += piece;
    }
    return true;
}

PortKind Kind(Handle h) {
    const Port* port = Find(h);
    return port == nullptr ? PortKind::kDevice : port->address.kind;
}

bool Lost(Handle h) {
    Port* port = Find(h);
    if (port == nullptr) {
        return false;
    }
    if (port->lostError == 0 && PumpReady(*port)) {
        return false;
    }
    detail::SetLastError(port->lostError); // what ended it
    return true;
}

bool Reconnect(Handle h) {
    Port* port = Find(h);
    if (port == nullptr) {
        return Fail(kErrorInvalidHandle);
    }
    return Connect(*port, WaitBoundMs(*port));
}

uint32_t Unanswered(Handle h) {
    const Port* port = Find(h);
    if (port == nullptr) {
        return 0;
    }
    if (IsRfc2217(*port) && port->dcbSet && port->lostError == 0 &&
        !port->negotiation.Local(telnet::kOptionComPort)) {
        return kComPortRefused;
    }
    return port->asked & ~port->answered;
}

bool Refused(Handle h, int index, const char** name, uint32_t* code) {
    const Port* port = Find(h);
    if (port == nullptr || index < 0 || index >= port->refusedCount) {
        return false;
    }
    *name = port->refused[index].name;
    *code = port->refused[index].code;
    return true;
}

void CloseAll() {
    for (Port& port : g_ports) {
        if (port.used) {
            net::Close(port.socket);
            port = Port{};
        }
    }
}

constexpr PortOps kOps{
    .kind = Kind,
    .close = Close,
    .getCommState = GetCommState,
    .setCommState = SetCommState,
    .getCommTimeouts = GetCommTimeouts,
    .setCommTimeouts = SetCommTimeouts,
    .setupComm = [](Handle, uint32_t, uint32_t) { return true; }, // the server's queues are its own
    .clearCommError = ClearCommError,
    .pendingInput = Pending,
    .takeLineErrors = TakeLineErrors,
    .read = Read,
    .write = Write,
    // Sent: the frame's line time is the caller's to wait out.
    .waitWritten = [](Handle) { return true; },
    .purgeInput = PurgeInput,
    // DTR and RTS are the device server's to switch, and a break is not carried over the network.
    .escape = [](Handle, int) { return true; },
    .setBreak = [](Handle) { return true; },
    .clearBreak = [](Handle) { return true; },
    .connectionLost = Lost,
    .reconnect = Reconnect,
    .unansweredSettings = Unanswered,
    .refusedSocketOption = Refused,
};

} // namespace merix::plat::netport

// The platform's calls for ports behind device servers that take no port's handle, the same on
// every real backend.
namespace merix::plat {

Handle KeepNetworkPort(const char* name, uint32_t error) {
    return netport::Keep(name, error);
}

void StopNetwork() {
    net::Shutdown();
}

} // namespace merix::plat
