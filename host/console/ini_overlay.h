// The driver reads its settings from its initialisation file at ColdStart alone. For settings
// that merixhost gives on its command line (TRACE for --trace, PORT for a --port that the
// host's 11-character name cannot carry, DEMOTE for --demote), it hands the driver a copy of
// the user's file with those lines put in place of the user's own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/ini_names.h"

namespace merixhost {

/// A keyword of the driver's and its value, as "KEYWORD = value".
using IniSetting = std::pair<merix::IniKeyword, std::string>;

/// A scratch directory holding the instance's initialisation file: the user's own from
/// `iniDir` (MERIXnn.INT, else .INI), if there is one, without its lines for the keywords given,
/// and then those settings. The driver reads it while the current directory is `Path()`; the
/// directory is removed with this object.
class IniOverlay {
public:
    IniOverlay() = default;
    ~IniOverlay();
    IniOverlay(const IniOverlay&) = delete;
    IniOverlay& operator=(const IniOverlay&) = delete;

    /// Makes the file and changes into its directory; nothing at all without settings. False
    /// with `error` set when the directory or the file cannot be made, a setting is too long for
    /// the driver's lines, or the directory cannot be entered.
    bool Enter(const std::filesystem::path& iniDir, uint32_t driverNumber,
               const std::vector<IniSetting>& settings, std::string* error);
    /// Back to the ini directory, once the driver has read the file.
    void Leave();
    const std::filesystem::path& Path() const { return dir_; }

private:
    bool Make(const std::filesystem::path& iniDir, uint32_t driverNumber,
              const std::vector<IniSetting>& settings, std::string* error);

    std::filesystem::path dir_;
    std::filesystem::path iniDir_;
};

} // namespace merixhost
