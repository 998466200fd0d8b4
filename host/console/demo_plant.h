// The demonstration plant: three simulated controllers on a pseudo-terminal whose values
// move while merixhost scans them. The stations come from demo/demo-plant.json; the motion
// is computed here, from the scan loop, through the simulator's API.
#pragma once

#include <memory>
#include <string>

#include "host/console/demo.h"
#include "host/console/options.h"
#include "host/console/scan_model.h"

namespace h51sim {
class Simulator;
}

namespace merixhost {

class DemoPlant : public Demo {
public:
    DemoPlant();
    ~DemoPlant() override;
    DemoPlant(const DemoPlant&) = delete;
    DemoPlant& operator=(const DemoPlant&) = delete;

    /// Builds the stations of `scenarioPath` on a line with the options' settings and
    /// starts it; false with `error` set on failure.
    bool Start(const Options& options, const std::string& scenarioPath, std::string* error);
    /// The pseudo-terminal's device name.
    std::string DeviceName() const override;
    /// Moves the plant's values to where they are at `now`.
    void Tick(SteadyTime now) override;
    void Stop() override;
    /// Requests the simulated stations answered.
    uint64_t Replies() const;

private:
    std::unique_ptr<h51sim::Simulator> sim_;
    SteadyTime start_{};
    SteadyTime last_{};
    double temperature_ = 81.2; ///< degrees
    bool burner_ = true;
    bool pump_ = false;
    uint16_t burnerStarts_ = 0;
    double parts_ = 0;
    double hours_ = 4711;
};

/// A file of the bundled demo: next to merixhost (demo/NAME) or in the source tree.
std::string DemoFile(const std::string& name);

} // namespace merixhost
