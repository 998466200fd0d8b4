#include "host/console/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace merixhost {
namespace {

volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int signal) {
    g_signal = signal;
}

} // namespace

void CatchStopRequests() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() {
    return g_signal != 0;
}

std::string StopReason() {
    return g_signal == SIGINT ? "stopped by Ctrl-C" : "stopped by a signal";
}

bool UseAnsiTerminal() {
    if (isatty(STDOUT_FILENO) == 0) {
        return false;
    }
    const char* term = std::getenv("TERM");
    return term != nullptr && std::strcmp(term, "dumb") != 0;
}

std::optional<TerminalSize> StdoutSize() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        return TerminalSize{ws.ws_col, ws.ws_row};
    }
    return std::nullopt;
}

} // namespace merixhost
