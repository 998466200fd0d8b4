#include "host/console/driver_settings.h"

#include <cstdio>

namespace merixhost {

merix::StartParams StartParamsFor(const Options& options, const std::string& portName) {
    merix::StartParams sp{};
    std::snprintf(sp.portName, sizeof sp.portName, "%s", portName.c_str());
    sp.comOn = 1;
    // The driver counts the reply timeout in tens of milliseconds.
    sp.replyTimeout = static_cast<uint32_t>((options.replyTimeout.count() + 9) / 10);
    sp.baud = static_cast<uint16_t>(options.baud);
    sp.dataBits = static_cast<int16_t>(options.dataBits);
    sp.stopBits = static_cast<int16_t>(options.stopBitsCode);
    sp.parity = static_cast<int16_t>(options.parityCode);
    return sp;
}

std::vector<IniSetting> OverlaidSettings(const Options& options,
                                         const std::filesystem::path& tracePath,
                                         const std::filesystem::path& capturePath,
                                         const std::filesystem::path& journalPath,
                                         const PortName& port) {
    std::vector<IniSetting> settings;
    if (!tracePath.empty()) {
        settings.emplace_back(merix::IniKeyword::kTrace, tracePath.string());
    }
    if (!capturePath.empty()) {
        settings.emplace_back(merix::IniKeyword::kCapture, capturePath.string());
    }
    if (!journalPath.empty()) {
        settings.emplace_back(merix::IniKeyword::kJournal, journalPath.string());
    }
    if (!port.PortLine().empty()) {
        settings.emplace_back(merix::IniKeyword::kPort, port.PortLine());
    }
    for (const auto& [keyword, value] :
         {std::pair{merix::IniKeyword::kDemote, options.demoteSeconds},
          {merix::IniKeyword::kRetries, options.retries},
          {merix::IniKeyword::kRetryPause, options.retryPauseMs}}) {
        if (value) {
            settings.emplace_back(keyword, std::to_string(*value));
        }
    }
    return settings;
}

} // namespace merixhost
