// Loads the driver library at run time, as a host application does, and finds VpiMain.
// One implementation per operating system: dlopen (driver_loader_posix.cpp) or LoadLibraryA
// (driver_loader_win32.cpp).
#pragma once

#include <memory>
#include <string>

#include "merix/vpi.h"

namespace merixhost {

class DriverLibrary {
public:
    /// Loads `path`; nullptr with `error` set when the library or its VpiMain is missing.
    static std::unique_ptr<DriverLibrary> Load(const std::string& path, std::string* error);
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    VpiMainFn Entry() const { return entry_; }
    const std::string& Path() const { return path_; }

private:
    DriverLibrary(void* handle, VpiMainFn entry, std::string path)
        : handle_(handle), entry_(entry), path_(std::move(path)) {}
    void* handle_;
    VpiMainFn entry_;
    std::string path_;
};

/// The driver library next to the running executable when it exists (libmerix.so, or
/// merix.dll on Windows); else, on Linux, the installed driver (relative to an installed
/// merixhost) or the library of the build that made merixhost, and on Windows "merix.dll"
/// for the system's search.
std::string DefaultDriverPath();

/// Where the default driver comes from, for the help text.
std::string DefaultDriverHelp();

/// The directory of the running executable ("" when unknown).
std::string ExecutableDir();

} // namespace merixhost
