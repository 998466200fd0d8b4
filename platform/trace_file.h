// The files of the line trace: where the operating system decides what a name means, what may
// be opened, and how a file is renamed. One implementation per system; the fake backend of the
// unit tests uses the real one, since the tests read the files back.
#pragma once

#include <cstddef>
#include <cstdio>

namespace merix::plat {

/// The absolute form of `path`, resolved against the current directory now, into `out` of
/// `size` bytes. False when it cannot be resolved or does not fit.
bool AbsolutePath(const char* path, char* out, std::size_t size);

/// Opens `path` for appending, binary, creating it when it does not exist. Only a regular
/// file is taken: a FIFO, a device or a directory gives nullptr, and the open never waits
/// (a FIFO without a reader would hold the host's thread).
std::FILE* OpenRegularFile(const char* path);

/// Renames `from` to `to`, replacing `to` if it exists. False on failure.
bool RenameOver(const char* from, const char* to);

} // namespace merix::plat
