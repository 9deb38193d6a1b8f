// A zero-filled context, a fresh fake line and a log capture for each test,
// and helpers that call the driver through QsnMain as a host does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "host_calls.h"
#include "log_capture.h"
#include "qsnwndut.h"
#include "serial/fake/fake_port.h"

class DriverTest : public ::testing::Test {
protected:
    DriverTest() : context(std::make_unique<DriverContext>()) {
        std::memset(context.get(), 0, sizeof(DriverContext));
        qsn::fake::Line().Reset();
    }

    int32_t Call(int32_t command, void* params = nullptr) {
        return qsn::test::CallDriver(context.get(), command, params);
    }

    static InitBlock MakeInit(const char* port, int32_t readTimeout = 150) {
        return qsn::test::InitFor(port, readTimeout);
    }

    qsn::fake::FakeLine& line = qsn::fake::Line();
    std::unique_ptr<DriverContext> context;
    LogCapture log;
};
