// The trace's files on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/trace_file.h"

namespace merix::plat {

bool AbsolutePath(const char* path, char* out, std::size_t size) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    if (path[0] == '/') {
        return std::snprintf(out, size, "%s", path) < static_cast<int>(size);
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return false;
    }
    const char* slash = cwd[std::strlen(cwd) - 1] == '/' ? "" : "/";
    return std::snprintf(out, size, "%s%s%s", cwd, slash, path) < static_cast<int>(size);
}

std::FILE* OpenRegularFile(const char* path) {
    struct stat st {};
    // Look before opening: opening a device may act on it (a serial port raises DTR).
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        return nullptr;
    }
    const int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        return nullptr;
    }
    // The name may have changed hands between the look and the open.
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "ab");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

bool RenameOver(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

} // namespace merix::plat
