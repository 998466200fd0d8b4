// The console merixhost runs in: requests to stop (Ctrl-C), whether stdout draws ANSI
// sequences, and its size. One implementation per operating system: terminal_posix.cpp
// (signals, isatty, TIOCGWINSZ) and terminal_win32.cpp (the console API).
#pragma once

#include <optional>
#include <string>

namespace merixhost {

/// From now on Ctrl-C and the system's polite requests to end (SIGTERM; Ctrl-Break on
/// Windows) are noted instead of ending the process, so that the driver is ended first.
void CatchStopRequests();
/// True once a stop was requested.
bool StopRequested();
/// What stopped the run, for the summary ("stopped by Ctrl-C").
std::string StopReason();

/// Prepares stdout for the live table: true when it is a terminal that draws ANSI sequences
/// (a Windows console has their processing switched on here); false means plain lines.
bool UseAnsiTerminal();

struct TerminalSize {
    int width = 0;
    int height = 0;
};

/// The size of the terminal on stdout in characters, or nullopt when it is not known.
std::optional<TerminalSize> StdoutSize();

} // namespace merixhost
