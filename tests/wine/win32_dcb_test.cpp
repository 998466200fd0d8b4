// The DCB that the Win32 backend hands to SetCommState, field by field: neither a
// pseudo-terminal nor Wine's serial layer would show a parity or stop-bits code in the wrong
// place.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <utility>

#include "platform/win32_dcb.h"

namespace merix::test {
namespace {

struct DcbCase {
    uint8_t byteSize;
    uint8_t parity;   ///< the driver's code
    uint8_t stopBits; ///< the driver's code
    BYTE wantParity;
    BYTE wantStopBits;
};

class Win32Dcb : public ::testing::TestWithParam<DcbCase> {};

TEST_P(Win32Dcb, FramingAndErrorCharacter) {
    const DcbCase& c = GetParam();
    DCB read; // what GetCommState gave: fields the driver does not name must survive
    std::memset(&read, 0x5A, sizeof read);
    read.DCBlength = sizeof(DCB);
    read.fTXContinueOnXoff = 1;
    read.XonLim = 2048;
    read.XoffLim = 512;
    read.XonChar = 0x11;
    read.XoffChar = 0x13;
    read.EofChar = 0x1A;
    read.EvtChar = 0x7E;

    plat::Dcb dcb; // as ComOpen fills it
    dcb.baudRate = 19200;
    dcb.fBinary = true;
    dcb.fParity = true;
    dcb.fDtrControl = plat::kDtrEnable;
    dcb.fRtsControl = plat::kRtsDisable;
    dcb.fTXContinueOnXoff = true;
    dcb.byteSize = c.byteSize;
    dcb.parity = c.parity;
    dcb.stopBits = c.stopBits;
    dcb.errorChar = 0xFC;

    DCB out = read;
    EXPECT_TRUE(plat::ApplyDcb(dcb, &out));
    EXPECT_EQ(out.BaudRate, 19200u);
    EXPECT_EQ(out.ByteSize, c.byteSize);
    EXPECT_EQ(out.Parity, c.wantParity);
    EXPECT_EQ(out.StopBits, c.wantStopBits);
    EXPECT_EQ(static_cast<uint8_t>(out.ErrorChar), 0xFC);
    EXPECT_EQ(out.fErrorChar, 0u) << "the error character stays unused";
    EXPECT_EQ(out.fBinary, 1u);
    EXPECT_EQ(out.fParity, 1u);
    EXPECT_EQ(out.fOutX, 0u);
    EXPECT_EQ(out.fInX, 0u);
    EXPECT_EQ(out.fOutxCtsFlow, 0u);
    EXPECT_EQ(out.fOutxDsrFlow, 0u);
    EXPECT_EQ(out.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(out.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(out.fNull, 0u);
    EXPECT_EQ(out.fAbortOnError, 0u);
    EXPECT_EQ(out.DCBlength, read.DCBlength);
    EXPECT_EQ(out.XonLim, read.XonLim);
    EXPECT_EQ(out.XoffLim, read.XoffLim);
    EXPECT_EQ(out.XonChar, read.XonChar);
    EXPECT_EQ(out.XoffChar, read.XoffChar);
    EXPECT_EQ(out.EofChar, read.EofChar);
    EXPECT_EQ(out.EvtChar, read.EvtChar);
    EXPECT_EQ(out.wReserved, 0u) << "SetCommState wants it 0, whatever was read";

    const plat::Dcb back = plat::DcbFromWin32(out);
    EXPECT_EQ(back.parity, c.parity);
    EXPECT_EQ(back.stopBits, c.stopBits);
    EXPECT_EQ(back.errorChar, 0xFC);
}

INSTANTIATE_TEST_SUITE_P(Framing, Win32Dcb,
                         ::testing::Values(DcbCase{8, 0, 0, NOPARITY, ONESTOPBIT},
                                           DcbCase{7, 1, 0, ODDPARITY, ONESTOPBIT},
                                           DcbCase{8, 2, 0, EVENPARITY, ONESTOPBIT},
                                           DcbCase{8, 3, 2, MARKPARITY, TWOSTOPBITS},
                                           DcbCase{5, 4, 1, SPACEPARITY, ONE5STOPBITS},
                                           DcbCase{6, 0, 2, NOPARITY, TWOSTOPBITS}));

/// ComOpen's DCB with the given framing.
plat::Dcb Framed(uint8_t byteSize, uint8_t stopBits) {
    plat::Dcb dcb;
    dcb.baudRate = 9600;
    dcb.fParity = true;
    dcb.byteSize = byteSize;
    dcb.stopBits = stopBits;
    return dcb;
}

struct RefusalCase {
    uint8_t byteSize;
    uint8_t stopBits;
    bool accepted;
};

class Win32Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Win32Refusal, FramingsThatWindowsRefuses) {
    const RefusalCase& c = GetParam();
    DCB out{};
    out.DCBlength = sizeof(DCB);
    EXPECT_EQ(plat::ApplyDcb(Framed(c.byteSize, c.stopBits), &out), c.accepted);
    EXPECT_EQ(plat::WindowsRefusesFraming(c.byteSize, c.stopBits), !c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    DataAndStopBits, Win32Refusal,
    ::testing::Values(RefusalCase{5, ONESTOPBIT, true}, RefusalCase{5, ONE5STOPBITS, true},
                      RefusalCase{5, TWOSTOPBITS, false}, RefusalCase{6, ONE5STOPBITS, false},
                      RefusalCase{7, ONE5STOPBITS, false}, RefusalCase{8, ONE5STOPBITS, false},
                      RefusalCase{6, TWOSTOPBITS, true}, RefusalCase{7, TWOSTOPBITS, true},
                      RefusalCase{8, TWOSTOPBITS, true}, RefusalCase{8, ONESTOPBIT, true}));

TEST(Win32DcbLineModes, GoInAsWindowsNamesThemToggleIncluded) {
    const std::pair<uint8_t, DWORD> rts[] = {{plat::kRtsDisable, RTS_CONTROL_DISABLE},
                                             {plat::kRtsEnable, RTS_CONTROL_ENABLE},
                                             {plat::kRtsHandshake, RTS_CONTROL_HANDSHAKE},
                                             {plat::kRtsToggle, RTS_CONTROL_TOGGLE}};
    for (const auto& [mode, windows] : rts) {
        plat::Dcb dcb = Framed(8, ONESTOPBIT);
        dcb.fRtsControl = mode;
        DCB out{};
        out.DCBlength = sizeof(DCB);
        EXPECT_TRUE(plat::ApplyDcb(dcb, &out));
        EXPECT_EQ(out.fRtsControl, windows) << "mode " << int{mode};
        EXPECT_EQ(plat::DcbFromWin32(out).fRtsControl, mode);
    }
}

TEST(Win32DcbCharacters, EqualXonAndXoffBecomeDc1AndDc3) {
    DCB out;
    std::memset(&out, 0, sizeof out); // a previous program left both at 0
    out.DCBlength = sizeof(DCB);
    out.wReserved = 0x1234;
    EXPECT_TRUE(plat::ApplyDcb(Framed(8, ONESTOPBIT), &out));
    EXPECT_EQ(out.XonChar, 0x11);
    EXPECT_EQ(out.XoffChar, 0x13);
    EXPECT_EQ(out.wReserved, 0u);
    EXPECT_EQ(out.fOutX, 0u) << "the characters only have to differ: XON/XOFF stays off";
    EXPECT_EQ(out.fInX, 0u);
}

TEST(Win32DcbCharacters, DifferentXonAndXoffAreKept) {
    DCB out{};
    out.DCBlength = sizeof(DCB);
    out.XonChar = 0x01;
    out.XoffChar = 0x02;
    EXPECT_TRUE(plat::ApplyDcb(Framed(8, ONESTOPBIT), &out));
    EXPECT_EQ(out.XonChar, 0x01);
    EXPECT_EQ(out.XoffChar, 0x02);
}

TEST(Win32Handle, WidenedWithSignExtensionAndNarrowedBack) {
    EXPECT_EQ(plat::HandleToWin32(plat::kInvalidHandle), INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::HandleFromWin32(INVALID_HANDLE_VALUE), plat::kInvalidHandle);
    EXPECT_EQ(plat::HandleToWin32(0x7Cu), reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7C)));
    EXPECT_EQ(plat::HandleToWin32(0), nullptr);
    // GetCurrentThread's pseudo-handle (-2) survives the round trip through 32 bits.
    const HANDLE thread = ::GetCurrentThread();
    EXPECT_EQ(plat::HandleToWin32(plat::HandleFromWin32(thread)), thread);
}

TEST(Win32Handle, ARealHandleSurvivesTheHostsField) {
    const HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const HANDLE back = plat::HandleToWin32(plat::HandleFromWin32(event));
    EXPECT_EQ(back, event);
    EXPECT_TRUE(::SetEvent(back));
    EXPECT_EQ(::WaitForSingleObject(back, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(::CloseHandle(back));
}

} // namespace
} // namespace merix::test
