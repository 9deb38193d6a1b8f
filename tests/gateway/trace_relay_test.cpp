// plexer gateway --trace when its serial device goes away and comes back: the
// relay between the driver and the device opens the device again by its name,
// and the line is seen lost meanwhile.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "gateway_client.h"
#include "sim_fixture.h"

namespace gateway_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kLineLost = 1009;  // the health register

// Input register `address` of unit 1 (0x10000 + the code for an exception) reads `wanted` within `limit`.
bool ReadsUntil(int port, std::uint16_t address, int wanted, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (ReadInput(port, 1, address) == wanted) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST(GatewayTrace, TheRelayOpensTheDeviceAgainWhenItComesBack) {
    char folder[] = "/tmp/trace_relay.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string link = std::string(folder) + "/line";
    const std::string trace = std::string(folder) + "/trace.txt";
    const std::vector<std::string> unit{"--unit", "1:analog", "--cleared", "--link", link};
    auto line = std::make_unique<qsn::test::SimProcess>(unit);
    Gateway gateway({"gateway", link, "--points", "01AI0", "--listen", "127.0.0.1:0", "--interval", "100",
                     "--max-age", "1000", "--trace=" + trace});
    EXPECT_TRUE(ReadsUntil(gateway.Port(), 0, 0, 10s));

    line->Stop(SIGKILL);
    line.reset();
    EXPECT_TRUE(ReadsUntil(gateway.Port(), 0, 0x1000B, 10s)) << "the value outlived its maximum age";
    EXPECT_TRUE(ReadsUntil(gateway.Port(), kLineLost, 1, 10s)) << "the relayed line was not seen lost";
    line = std::make_unique<qsn::test::SimProcess>(unit);
    EXPECT_TRUE(ReadsUntil(gateway.Port(), 0, 0, 10s)) << "no value from the device once it was back";
    EXPECT_EQ(ReadInput(gateway.Port(), 1, kLineLost), 0);
    EXPECT_EQ(gateway.Stop(SIGTERM), 0);

    std::stringstream text;
    text << std::ifstream(trace).rdbuf();
    EXPECT_NE(text.str().find("the port failed or hung up"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("the port is open again"), std::string::npos) << text.str();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace gateway_test
