#include "host/console/terminal.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>

namespace merixhost {
namespace {

// The handler runs on a thread of its own that the system starts for each event.
std::atomic<DWORD> g_event{0};
std::atomic<bool> g_requested{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE; // closing the window, logging off: the system ends us as it would
    }
    g_event = event;
    g_requested = true;
    return TRUE;
}

HANDLE g_output = nullptr;
DWORD g_originalMode = 0;

/// The console keeps its mode after we are gone; the shell that started us gets it back.
void RestoreConsoleMode() {
    SetConsoleMode(g_output, g_originalMode);
}

} // namespace

void CatchStopRequests() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopRequested() {
    return g_requested;
}

std::string StopReason() {
    return g_event == CTRL_BREAK_EVENT ? "stopped by Ctrl-Break" : "stopped by Ctrl-C";
}

bool UseAnsiTerminal() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // A file or a pipe has no console mode.
    if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    // Consoles before Windows 10 refuse the flag; they get plain lines.
    if (!SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return false;
    }
    if (g_output == nullptr) {
        g_output = output;
        g_originalMode = mode;
        std::atexit(RestoreConsoleMode);
    }
    return true;
}

std::optional<TerminalSize> StdoutSize() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return std::nullopt;
    }
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    const int height = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (width <= 0 || height <= 0) {
        return std::nullopt;
    }
    return TerminalSize{width, height};
}

} // namespace merixhost
