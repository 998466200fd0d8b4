#include "host/console/driver_loader.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

#include <fmt/format.h>

namespace merixhost {
namespace {

constexpr const char* kDriverFile = "merix.dll";

/// The system's words for an error code, with the code itself.
std::string SystemMessage(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : "";
    LocalFree(text);
    // The messages end in a full stop and a line break.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? fmt::format("error {}", code)
                           : fmt::format("{} (error {})", message, code);
}

} // namespace

std::unique_ptr<DriverLibrary> DriverLibrary::Load(const std::string& path, std::string* error) {
    // A bare name goes through the system's search, which starts in the executable's
    // directory; the stand-in QORLIB.dll that the driver imports is already loaded with us.
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error =
            fmt::format("cannot load the driver '{}': {}", path, SystemMessage(GetLastError()));
        return nullptr;
    }
    // Through void*: a FARPROC has no parameters, VpiMain has one.
    auto entry =
        reinterpret_cast<VpiMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "VpiMain")));
    if (entry == nullptr) {
        *error = fmt::format("'{}' exports no VpiMain", path);
        FreeLibrary(module);
        return nullptr;
    }
    return std::unique_ptr<DriverLibrary>(new DriverLibrary(module, entry, path));
}

DriverLibrary::~DriverLibrary() {
    FreeLibrary(static_cast<HMODULE>(handle_));
}

std::string ExecutableDir() {
    // Long paths are cut at MAX_PATH without an error code of their own; they count as unknown.
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::filesystem::path(std::string(path, length)).parent_path().string();
}

std::string DefaultDriverPath() {
    const std::string dir = ExecutableDir();
    std::error_code ec;
    const std::string beside = dir + "\\" + kDriverFile;
    if (!dir.empty() && std::filesystem::exists(beside, ec)) {
        return beside;
    }
    return kDriverFile;
}

std::string DefaultDriverHelp() {
    return "merix.dll next to merixhost.exe, else where the system finds it";
}

} // namespace merixhost
