#include "host/console/demo_plant.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/console/driver_loader.h"
#include "sim/scenario.h"
#include "sim/simulator.h"

namespace merixhost {
namespace {

constexpr int kBoiler = 1;
constexpr int kConveyor = 2;
constexpr int kTanks = 3;
constexpr double kPi = 3.14159265358979;

uint16_t Clamp16(double value) {
    return static_cast<uint16_t>(std::lround(std::clamp(value, 0.0, 65535.0)));
}

} // namespace

std::string DemoFile(const std::string& name) {
    std::error_code ec;
    const std::string local = ExecutableDir() + "/demo/" + name;
    if (std::filesystem::exists(local, ec)) {
        return local;
    }
#if defined(MERIXHOST_INSTALLED_DEMO_DIR)
    const std::string installed = ExecutableDir() + "/" + MERIXHOST_INSTALLED_DEMO_DIR + "/" + name;
    if (std::filesystem::exists(installed, ec)) {
        return installed;
    }
#endif
#if defined(MERIXHOST_DEMO_DIR)
    return std::string(MERIXHOST_DEMO_DIR) + "/" + name;
#else
    return local;
#endif
}

std::string NoDemoReason() {
    return {};
}

std::string DemoGateList() {
    return DemoFile("demo.gates");
}

std::unique_ptr<Demo> StartDemo(const Options& options, std::string* error) {
    auto plant = std::make_unique<DemoPlant>();
    if (!plant->Start(options, DemoFile("demo-plant.json"), error)) {
        return nullptr;
    }
    return plant;
}

DemoPlant::DemoPlant() = default;

DemoPlant::~DemoPlant() {
    Stop();
}

bool DemoPlant::Start(const Options& options, const std::string& scenarioPath, std::string* error) {
    std::ifstream in(scenarioPath, std::ios::binary);
    if (!in) {
        *error = "cannot read the demo plant '" + scenarioPath + "'";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    h51sim::LineConfig line;
    line.baud = options.baud;
    line.dataBits = options.dataBits;
    line.parity = options.parityCode == 0   ? h51sim::Parity::None
                  : options.parityCode == 1 ? h51sim::Parity::Odd
                                            : h51sim::Parity::Even;
    line.stopBits = options.stopBitsCode == 2 ? 2 : 1;
    line.seed = options.seed;
    h51sim::Scenario scenario;
    if (!h51sim::ParseScenario(text.str(), line, scenario, error)) {
        return false;
    }
    sim_ = std::make_unique<h51sim::Simulator>(scenario.line);
    if (!h51sim::ApplyScenario(scenario, *sim_, error) || !sim_->Start(error)) {
        sim_.reset();
        return false;
    }
    // The boiler's event gates start in the state of what they report.
    sim_->SetEvent(kBoiler, 0, burner_);
    sim_->SetEvent(kBoiler, 1, pump_);
    start_ = last_ = std::chrono::steady_clock::now();
    return true;
}

std::string DemoPlant::DeviceName() const {
    return sim_ ? sim_->DeviceName() : std::string{};
}

void DemoPlant::Stop() {
    if (sim_) {
        sim_->Stop();
    }
}

uint64_t DemoPlant::Replies() const {
    return sim_ ? sim_->LineCounters().replies : 0;
}

void DemoPlant::Tick(SteadyTime now) {
    if (!sim_ || now - last_ < Millis(100)) {
        return;
    }
    const double dt = std::chrono::duration<double>(now - last_).count();
    const double t = std::chrono::duration<double>(now - start_).count();
    last_ = now;

    // Boiler: the burner heats until the setpoint, the water cools by itself, and the burner
    // starts again five degrees below. Each switch is an event of the station.
    const double setpoint = sim_->GetHoldingRegister(kBoiler, 10).value_or(850) / 10.0;
    temperature_ += (burner_ ? 1.6 : -1.1) * dt;
    if (burner_ && temperature_ >= setpoint) {
        burner_ = false;
        sim_->SetEvent(kBoiler, 0, false);
    } else if (!burner_ && temperature_ <= setpoint - 5.0) {
        burner_ = true;
        ++burnerStarts_;
        sim_->SetEvent(kBoiler, 0, true);
    }
    const bool pump = temperature_ > setpoint - 3.0;
    if (pump != pump_) {
        pump_ = pump;
        sim_->SetEvent(kBoiler, 1, pump);
    }
    hours_ += dt / 3.0; // a demo hour lasts three seconds
    sim_->SetHoldingRegister(kBoiler, 0, Clamp16(temperature_ * 10.0));
    sim_->SetHoldingRegister(kBoiler, 1, Clamp16(1000 + temperature_ * 3 + 8 * std::sin(t)));
    sim_->SetHoldingRegister(kBoiler, 2, burnerStarts_);
    sim_->SetInputRegister(kBoiler, 100, Clamp16(hours_));
    sim_->SetCoil(kBoiler, 0, pump_);
    sim_->SetCoil(kBoiler, 1, burner_);

    // Conveyor: four belts that breathe, a part every 0.4 s, a running light of lamps.
    for (uint32_t belt = 0; belt < 4; ++belt) {
        sim_->SetHoldingRegister(kConveyor, belt, Clamp16(1200 + 80 * std::sin(0.7 * t + belt)));
    }
    parts_ += dt / 0.4;
    sim_->SetHoldingRegister(kConveyor, 20, Clamp16(std::fmod(parts_, 65536.0)));
    const auto step = static_cast<uint32_t>(t * 2);
    for (uint32_t lamp = 0; lamp < 16; ++lamp) {
        sim_->SetCoil(kConveyor, lamp, (lamp + step) % 4 == 0);
    }

    // Tank farm: tank A fills and empties over 40 s into tank B.
    const double phase = std::fmod(t, 40.0) / 40.0;
    const double levelA = 500 + 450 * std::sin(2 * kPi * phase);
    sim_->SetInputRegister(kTanks, 0, Clamp16(levelA));
    sim_->SetInputRegister(kTanks, 1, Clamp16(1000 - levelA));
    sim_->SetDiscreteInput(kTanks, 0, levelA > 800);
    sim_->SetDiscreteInput(kTanks, 1, levelA < 200);
}

} // namespace merixhost
