#include "host/console/driver_loader.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include <fmt/format.h>

namespace merixhost {

std::unique_ptr<DriverLibrary> DriverLibrary::Load(const std::string& path, std::string* error) {
    // dlopen searches the library path for a bare name; a file in the current directory
    // is meant when the user names one.
    std::string name = path;
    if (name.find('/') == std::string::npos) {
        name = "./" + name;
    }
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        *error = fmt::format("cannot load the driver '{}': {}", path, why ? why : "unknown");
        return nullptr;
    }
    auto entry = reinterpret_cast<VpiMainFn>(dlsym(handle, "VpiMain"));
    if (entry == nullptr) {
        *error = fmt::format("'{}' exports no VpiMain", path);
        dlclose(handle);
        return nullptr;
    }
    return std::unique_ptr<DriverLibrary>(new DriverLibrary(handle, entry, path));
}

DriverLibrary::~DriverLibrary() {
    dlclose(handle_);
}

std::string ExecutableDir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string{} : exe.parent_path().string();
}

std::string DefaultDriverPath() {
    const std::string dir = ExecutableDir();
    if (!dir.empty()) {
        std::vector<std::string> candidates{dir + "/libmerix.so"};
#if defined(MERIXHOST_INSTALLED_DRIVER)
        candidates.push_back(dir + "/" + MERIXHOST_INSTALLED_DRIVER);
#endif
        for (const auto& path : candidates) {
            std::error_code ec;
            if (std::filesystem::exists(path, ec)) {
                return path;
            }
        }
    }
#if defined(MERIXHOST_BUILD_DRIVER)
    return MERIXHOST_BUILD_DRIVER;
#else
    return "libmerix.so";
#endif
}

std::string DefaultDriverHelp() {
    return "libmerix.so next to merixhost, else the installed one, else the build's";
}

} // namespace merixhost
