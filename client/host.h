// The host's half of the driver interface: it owns the context and builds the
// request blocks, calls QsnMain one request at a time, and keeps what
// validation returned to pass back with every read and write of a gate.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "gate_types.h"
#include "log_view.h"
#include "qsnwndut.h"

namespace plexer {

struct LineConfig {
    std::string portName;  // as the driver takes it: at most 11 characters
    LineSettings settings{};
    std::int32_t readTimeout = 0;  // units of 10 ms
};

// A gate as validation returned it.
struct Gate {
    std::string gas;
    std::int32_t dataKind = 0;
    std::int32_t unit = 0;
    std::int32_t typeCode = 0;
    std::int32_t pointAddress = 0;
    std::int32_t pointIndex = 0;
    std::int32_t pointCount = 0;
};

struct Validation {
    std::int32_t result = QSN_FAILED;
    Gate gate;
    std::vector<LogLine> log;
};

struct Transfer {
    std::int32_t result = QSN_NO_LINE;
    std::array<std::int16_t, 16> values{};
    std::vector<LogLine> log;
};

struct Counters {
    long transactions = 0;
    long failures = 0;
    long retries = 0;

    Counters operator-(const Counters& earlier) const {
        return {transactions - earlier.transactions, failures - earlier.failures, retries - earlier.retries};
    }
    Counters& operator+=(const Counters& more) {
        transactions += more.transactions;
        failures += more.failures;
        retries += more.retries;
        return *this;
    }
};

class Host {
public:
    // Identifies the driver and allocates the context at the size it reports.
    Host(QsnMainFn entry, LogView& log, bool verbose);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const IdentBlock& Ident() const { return ident_; }
    // Start-up (command 1); the result is the driver's.
    std::int32_t Start(const LineConfig& line);
    void Close();
    // The port opened again as start-up opened it, after Close (command 13);
    // what the driver knows of the units is kept.
    std::int32_t Reopen();
    bool Started() const { return started_; }
    // Lets go of the port (command 12), as the line's device goes.
    std::int32_t ClosePort();
    // Start-up again on the line's settings under `portName`, once its device
    // is back: unlike opening (13, 15), start-up applies the host's read
    // time-out to the port; the driver forgets what it configured on the units,
    // as it must for a device that may be another. The result is the driver's.
    std::int32_t Restart(const std::string& portName);

    Validation Validate(const std::string& gas);
    // One point, or with `wholeUnit` all sixteen points of the gate's unit.
    Transfer Read(const Gate& gate, bool wholeUnit);
    Transfer Write(const Gate& gate, std::int16_t value);

    const Counters& Totals() const { return totals_; }

private:
    std::int32_t Call(std::int32_t command, void* params);
    Transfer Transact(std::int32_t command, const Gate& gate, std::int32_t count, Transfer transfer);
    DriverContext* Context();

    QsnMainFn entry_;
    LogView& log_;
    bool verbose_;
    IdentBlock ident_{};
    std::vector<std::uint8_t> context_;
    bool started_ = false;
    LineConfig line_;
    Counters totals_;
};

// What a driver result means for the command that returned it.
std::string ResultMeaning(std::int32_t command, std::int32_t result);

}  // namespace plexer
