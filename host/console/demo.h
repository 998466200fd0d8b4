// The demonstration: without --port, merixhost brings its own plant on a simulated line. The
// simulator runs on pseudo-terminals, so only the POSIX build has it (demo_plant.cpp); the
// Windows build has none (no_demo.cpp) and asks for a port instead.
#pragma once

#include <memory>
#include <string>

#include "host/console/options.h"
#include "host/console/scan_model.h"

namespace merixhost {

/// A running demonstration plant. Its values move when the scan loop ticks it.
class Demo {
public:
    virtual ~Demo() = default;
    /// The device of the simulated line.
    virtual std::string DeviceName() const = 0;
    /// Moves the plant's values to where they are at `now`.
    virtual void Tick(SteadyTime now) = 0;
    virtual void Stop() = 0;
};

/// Why this build has no demo, for a user who gave no port; empty when it has one.
std::string NoDemoReason();

/// The demo's gate list.
std::string DemoGateList();

/// Starts the demo plant on a line with the options' settings; nullptr with `error` set on
/// failure.
std::unique_ptr<Demo> StartDemo(const Options& options, std::string* error);

} // namespace merixhost
