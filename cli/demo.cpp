// demo: a small rack of every unit kind on a simulated line, and the driver at
// work on it through the same subcommands an integrator runs by hand.
#include <cstdio>
#include <thread>

#include "commands.h"
#include "terminal.h"
#include "sim/engine.h"
#include "simulator.h"

namespace plexer {

namespace {

constexpr std::uint8_t kDigitalUnit = 0x01;
constexpr std::uint8_t kAnalogUnit = 0x05;
constexpr std::uint8_t kTemperatureUnit = 0x0B;
constexpr int kWatchPolls = 4;
constexpr int kWatchPeriodMs = 500;

// Digital outputs on positions 4 to 7; analog outputs on 2 and 3; type K
// probes (code 05) on the first four temperature positions. Inputs move.
qsn::sim::SimOptions DemoRack() {
    using qsn::sim::Shape;
    using qsn::sim::UnitKind;
    qsn::sim::UnitOptions digital;
    digital.address = kDigitalUnit;
    digital.kind = UnitKind::kDigital;
    digital.outputs = 0x00F0;
    digital.on = 0x0205;
    digital.animation.shape = Shape::kToggle;
    digital.animation.periodS = 4;

    qsn::sim::UnitOptions analog;
    analog.address = kAnalogUnit;
    analog.kind = UnitKind::kAnalog;
    analog.outputs = 0x000C;
    analog.outputValues[2] = 1024;
    analog.outputValues[3] = 3000;
    analog.animation.shape = Shape::kSine;
    analog.animation.periodS = 8;

    qsn::sim::UnitOptions temperature;
    temperature.address = kTemperatureUnit;
    temperature.kind = UnitKind::kTemperature;
    temperature.probes = {0x05, 0x05, 0x05, 0x05};
    temperature.temperatures = {25.0, 21.5, 100.0, -40.0};
    temperature.animation.shape = Shape::kSine;
    temperature.animation.amplitude = 3;

    qsn::sim::SimOptions options;
    options.units = {digital, analog, temperature};
    return options;
}

// The simulator's engine served on a thread of this process.
class RackThread {
public:
    explicit RackThread(const qsn::sim::SimOptions& options) : simulator_(options), thread_([this] { Serve(); }) {}
    ~RackThread() {
        simulator_.RequestStop();
        thread_.join();
    }
    RackThread(const RackThread&) = delete;
    RackThread& operator=(const RackThread&) = delete;

    const std::string& SlavePath() const { return simulator_.SlavePath(); }

private:
    void Serve() {
        try {
            simulator_.Run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "plexer: the simulator stopped: %s\n", e.what());
        }
    }

    qsn::sim::Simulator simulator_;
    std::thread thread_;
};

class Narrator {
public:
    explicit Narrator(bool colour) : colour_(colour) {}

    void Step(const std::string& title, const std::string& command) {
        WriteWhole(stdout, "\n" + Paint("== " + std::to_string(++step_) + ". " + title, Colour::kBold, colour_) + "\n" +
                               Paint("$ plexer " + command, Colour::kGreen, colour_) + "\n");
    }

    void Say(const std::string& text) const { WriteWhole(stdout, text + "\n"); }

private:
    bool colour_;
    int step_ = 0;
};

// A step that should fail, and how it failed.
template <typename Step>
void ExpectFailure(Narrator& narrator, Step step) {
    try {
        step();
    } catch (const CommandFailure& failure) {
        narrator.Say("-> as expected, exit " + std::to_string(failure.ExitCode()) + ": " + failure.what());
        return;
    }
    throw CommandFailure(kExitFailed, "the demo expected a failure that did not come");
}

}  // namespace

void RunDemo(const GlobalOptions& options) {
    GlobalOptions text = options;
    text.json = false;
    RackThread rack(DemoRack());
    Session session(text);
    Narrator narrator(session.Log().Colour());
    LineOptions line;
    line.port = rack.SlavePath();
    line.timeoutMs = 100;
    const std::string port = "-p " + line.port + " -t 100 ";
    LineOptions scanLine = line;
    scanLine.timeoutMs = 30;
    narrator.Say("A simulated line on " + line.port + ": digital unit 0x01, analog unit 0x05, temperature unit 0x0B.");
    narrator.Say("Lines in [brackets] are the driver's own log, with their level (32 notices, 8 details).");

    narrator.Step("identify the driver and open the line", "identify -p " + line.port);
    RunIdentify(session, line);

    narrator.Step("which units answer", "scan -p " + line.port + " --from 0 --to 15");
    RunScan(session, scanLine, ScanOptions{0, 15});

    narrator.Step("validate gate addresses", "validate 01DI0 01DO4 05AI1 05AO2 0BCK0");
    RunValidate(session, {"01DI0", "01DO4", "05AI1", "05AO2", "0BCK0"});
    narrator.Step("a gate address the driver refuses", "validate 05XX1");
    ExpectFailure(narrator, [&] { RunValidate(session, {"05XX1"}); });

    narrator.Step("read points", "read " + port + "01DI0 01DI2 05AI1 05AO2 0BCK0 0BCK2");
    RunRead(session, line, {"01DI0", "01DI2", "05AI1", "05AO2", "0BCK0", "0BCK2"}, false);
    narrator.Step("read a whole unit", "read " + port + "--all 01DI0");
    RunRead(session, line, {"01DI0"}, true);

    narrator.Step("write outputs and read them back", "write " + port + "05AO2 2048; write 01DO4 on; read 05AO2 01DO4");
    RunWrite(session, line, "05AO2", "2048");
    RunWrite(session, line, "01DO4", "on");
    RunRead(session, line, {"05AO2", "01DO4"}, false);
    narrator.Step("inputs are read-only", "write " + port + "05AI1 100");
    ExpectFailure(narrator, [&] { RunWrite(session, line, "05AI1", "100"); });

    narrator.Step("watch moving inputs", "watch " + port + "-l 500 01DI0 05AI1 0BCK0   (Ctrl-C ends a real watch)");
    RunWatch(session, line, {"01DI0", "05AI1", "0BCK0"}, WatchOptions{false, kWatchPeriodMs, kWatchPolls, false});

    narrator.Step("a unit that does not answer: three attempts, then the driver gives up", "read " + port + "20AI0");
    ExpectFailure(narrator, [&] { RunRead(session, line, {"20AI0"}, false); });

    narrator.Say("\nDemo complete.");
}

}  // namespace plexer
