// The trace's files on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/trace_file.h"

namespace merix::plat {

bool AbsolutePath(const char* path, char* out, std::size_t size) {
    if (path == nullptr || path[0] == '\0' || size > MAXDWORD) {
        return false;
    }
    const DWORD n = ::GetFullPathNameA(path, static_cast<DWORD>(size), out, nullptr);
    return n > 0 && n < size;
}

std::FILE* OpenRegularFile(const char* path) {
    // "COM1", "NUL" and the like resolve into the device namespace: never a trace file, and
    // opening a port would act on it.
    if (std::strncmp(path, "\\\\.\\", 4) == 0) {
        return nullptr;
    }
    HANDLE h = ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "ab");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

bool RenameOver(const char* from, const char* to) {
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace merix::plat
