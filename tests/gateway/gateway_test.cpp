// plexer gateway against the simulator, with Modbus clients nobody here wrote
// (mbpoll, pymodbus) and a raw socket for what no polite client sends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "../sim/sim_test_support.h"
#include "gateway_client.h"
#include "sim_fixture.h"

namespace gateway_test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;
using qsn::test::ProgramRun;
using qsn::test::RunProgram;

constexpr int kUsage = 2;
constexpr std::uint8_t kSilent = 0x30;  // no unit answers there

template <typename Done>
bool Eventually(Done done, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::vector<json> Pymodbus(int port, const json& requests) {
    const ProgramRun run =
        RunProgram({"/usr/bin/python3", MODBUS_CLIENT, "127.0.0.1", std::to_string(port), requests.dump()}, 60s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<json> answers;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) answers.push_back(json::parse(line));
    return answers;
}

// mbpoll's values, "[n]: \tvalue" a line.
std::vector<int> Mbpoll(int port, const std::vector<std::string>& args, const std::string& write = "") {
    std::vector<std::string> argv{"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(port), "-1", "-o", "5"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("127.0.0.1");
    if (!write.empty()) argv.push_back(write);
    const ProgramRun run = RunProgram(argv, 60s);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    std::vector<int> values;
    const std::regex value(R"(\[\d+\]:\s+(-?\d+))");
    for (std::sregex_iterator it(run.out.begin(), run.out.end(), value), end; it != end; ++it) {
        values.push_back(std::stoi((*it)[1]));
    }
    return values;
}

class GatewayTest : public ::testing::Test {
protected:
    GatewayTest() : rack_(qsn::test::TestRack()) {}
    std::vector<std::string> On(std::vector<std::string> rest) const {
        rest.insert(rest.begin(),
                    {"gateway", rack_.SlavePath(), "--listen", "127.0.0.1:0", "-t", "50", "--interval", "100"});
        return rest;
    }

    qsn::test::SimThread rack_;
};

// Positions 2 and 3 of unit 5 are outputs, so its inputs are listed one by one.
constexpr const char* kRackPoints =
    "05AI0,05AI1,05AI4,05AI5,05AI6,05AI7,05AI8,05AI9,05AIA,05AIB,05AIC,05AID,05AIE,05AIF,05AO2,05AO3,01DI*,01DO4,"
    "01DO5,0BCK0,0BCK1,30AI0";

TEST_F(GatewayTest, ClientsReadWhatTheSimulatorHoldsAndWriteItsOutputs) {
    Gateway gateway(On({"--points", kRackPoints}));
    std::vector<int> analog;  // positions 2 and 3 are outputs
    for (int i = 4; i < 16; ++i) analog.push_back(257 * i);
    EXPECT_EQ(Mbpoll(gateway.Port(), {"-a", "5", "-r", "5", "-c", "12", "-t", "3"}), analog);
    EXPECT_EQ(Mbpoll(gateway.Port(), {"-a", "1", "-r", "5", "-c", "2", "-t", "0"}), (std::vector<int>{0, 0}));
    const std::vector<json> reads = Pymodbus(gateway.Port(), json::array({
                                                                 {"read_discrete_inputs", 1, 0, 16},
                                                                 {"read_holding_registers", 5, 2, 2},
                                                                 {"read_input_registers", 11, 0, 2},
                                                             }));
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0]["values"], json({1, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(reads[1]["values"], json({0x123, 0xABC}));
    EXPECT_EQ(reads[2]["values"], json({25, 0xFFFF}));  // -1 degree as a signed 16-bit register

    // Written through the driver, then read back from the simulator by the next poll.
    Mbpoll(gateway.Port(), {"-a", "5", "-r", "3", "-t", "4"}, "1000");
    const std::vector<json> writes =
        Pymodbus(gateway.Port(), json::array({{"write_coils", 1, 4, {true, true}}, {"write_registers", 5, 3, {4095}}}));
    EXPECT_EQ(writes, std::vector<json>(2, json{{"values", json::array()}}));
    EXPECT_TRUE(Eventually(
        [&] {
            return Pymodbus(gateway.Port(),
                            json::array({{"read_holding_registers", 5, 2, 2}, {"read_coils", 1, 4, 2}})) ==
                   std::vector<json>{{{"values", {1000, 4095}}}, {{"values", {1, 1}}}};
        },
        10s));
}

TEST_F(GatewayTest, BadRequestsGetTheirExceptions) {
    {
        Gateway readOnly(On({"--points", "05AO2", "--read-only"}));
        EXPECT_EQ(
            Pymodbus(readOnly.Port(), json::array({{"write_register", 5, 2, 1}, {"read_holding_registers", 5, 2, 1}})),
            (std::vector<json>{{{"exception", 1}}, {{"values", {0x123}}}}));
    }
    Gateway gateway(On({"--points", kRackPoints}));
    struct Case {
        json request;
        int exception;
    };
    const Case cases[] = {
        {{"read_input_registers", kSilent, 0, 1}, 0x0B},  // silent unit
        {{"read_input_registers", 0x31, 0, 1}, 0x0A},     // unit not served
        {{"read_holding_registers", 5, 0, 1}, 0x02},      // position not configured
        {{"read_input_registers", 5, 15, 2}, 0x02},       // past position 15
        {{"read_input_registers", 5, 0, 126}, 0x03},      // quantity out of range
        {{"read_exception_status", 5}, 0x01},             // function not served
        {{"write_register", 5, 0, 1}, 0x02},              // an input
        {{"write_coil", 1, 0, true}, 0x02},               // a discrete input's place
        {{"write_register", 5, 2, 5000}, 0x03},           // beyond 4095 counts
        {{"write_registers", 5, 2, {1, 2, 3}}, 0x02},     // 05AO4 is not served
    };
    json requests = json::array();
    for (const Case& c : cases) requests.push_back(c.request);
    const std::vector<json> answers = Pymodbus(gateway.Port(), requests);
    ASSERT_EQ(answers.size(), std::size(cases));
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i], json({{"exception", cases[i].exception}})) << cases[i].request.dump();
    }
}

TEST_F(GatewayTest, MalformedFramesHalfFramesAndIdleClientsAreClosedWhileOthersAreServed) {
    Gateway gateway(On({"--points", "05AI*", "--idle-timeout", "2", "--max-clients", "40"}));
    const Bytes read = Adu(5, {4, 0, 1, 0, 1});
    const Bytes answer{0, 1, 0, 0, 0, 5, 5, 4, 2, 1, 1};
    {
        // A request in pieces, and two in one segment.
        Socket client(gateway.Port());
        client.Send(Bytes(read.begin(), read.begin() + 3));
        std::this_thread::sleep_for(100ms);
        Bytes rest(read.begin() + 3, read.end());
        rest.insert(rest.end(), read.begin(), read.end());
        client.Send(rest);
        Bytes twice = answer;
        twice.insert(twice.end(), answer.begin(), answer.end());
        EXPECT_EQ(client.Receive(3s, twice.size()), twice);
    }
    const Bytes badHeaders[] = {
        {0, 1, 0, 7, 0, 6, 5, 4, 0, 1, 0, 1},  // protocol 7
        {0, 1, 0, 0, 0, 1, 5},                 // length without a function
        {0, 1, 0, 0, 0xFF, 0xFF, 5, 4, 0, 1},  // length past any request
    };
    for (const Bytes& bad : badHeaders) {
        Socket client(gateway.Port());
        client.Send(bad);
        EXPECT_EQ(client.Receive(3s), std::nullopt);
    }
    Socket half(gateway.Port());
    half.Send(Bytes(read.begin(), read.begin() + 9));
    Socket idle(gateway.Port());
    // 40 clients at once, the cap: each is served; one more is turned away.
    std::vector<std::unique_ptr<Socket>> clients;
    for (int i = 0; i < 38; ++i) clients.push_back(std::make_unique<Socket>(gateway.Port()));
    for (const auto& client : clients) client->Send(read);
    for (const auto& client : clients) EXPECT_EQ(client->Receive(3s, answer.size()), answer);
    Socket over(gateway.Port());
    EXPECT_EQ(over.Receive(3s), std::nullopt);
    EXPECT_EQ(half.Receive(3s), std::nullopt);
    EXPECT_EQ(idle.Receive(3s), std::nullopt);
    EXPECT_EQ(ReadInput(gateway.Port(), 5, 1), 257);
}

TEST_F(GatewayTest, RandomBytesNeverStopTheGateway) {
    Gateway gateway(On({"--points", "05AI0,05AI1,05AO2,01DO4"}));
    std::mt19937 random(11);
    for (int connection = 0; connection < 50; ++connection) {
        Socket client(gateway.Port());
        // A valid header with a random PDU half the time, else bytes of any kind.
        Bytes bytes = connection % 2 == 0 ? Adu(static_cast<std::uint8_t>(random() % 3 * 4 + 1), {}) : Bytes{};
        const std::size_t length = random() % 40;
        for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<std::uint8_t>(random()));
        if (connection % 2 == 0) bytes[5] = static_cast<std::uint8_t>(length + 1);
        client.Send(bytes);
        client.Receive(200ms);
    }
    EXPECT_EQ(ReadInput(gateway.Port(), 5, 1), 257);
    EXPECT_EQ(gateway.Stop(SIGTERM), 0);
}

TEST(GatewayStopTest, StopAnswersTheWriteInFlightAndPrintsHealth) {
    qsn::sim::SimOptions slow = qsn::test::TestRack();
    slow.line.turnaroundMs = 100;
    qsn::test::SimThread line(slow);
    Gateway gateway(
        {"--json", "gateway", line.SlavePath(), "--listen", "127.0.0.1:0", "--points", "05AO2,30AI0", "-t", "200"});
    gateway.Signal(SIGUSR1);
    gateway.Await(std::regex(R"("health":\[\{"unit":5,"transactions":)"), 10s);
    Socket client(gateway.Port());
    const Bytes write = Adu(5, {6, 0, 2, 0x04, 0xD2});
    client.Send(write);
    std::this_thread::sleep_for(30ms);
    gateway.Signal(SIGTERM);
    EXPECT_EQ(client.Receive(10s, write.size()), write);
    EXPECT_EQ(gateway.Stop(0), 0);
    std::istringstream lines(gateway.Printed());
    json last;
    for (std::string text; std::getline(lines, text);) last = json::parse(text);
    ASSERT_EQ(last["health"].size(), 2u) << gateway.Printed();
    EXPECT_EQ(last["health"][0]["lastResult"], 0);
    EXPECT_EQ(last["health"][1]["unit"], kSilent);
    EXPECT_EQ(last["health"][1]["lastGoodAgeMs"], nullptr);
}

// The simulator as a process, so that it can be stopped and continued: the
// whole line goes silent, then answers again.
TEST(GatewayLineTest, ASilentUnitIsDemotedAndRecovers) {
    qsn::test::SimProcess line({"--unit", "0x05:analog", "--cleared"});
    Gateway gateway({"gateway", line.SlavePath(), "--listen", "127.0.0.1:0", "--points", "05AI0", "-t", "50",
                     "--interval", "50", "--demote-after", "2", "--demote-for", "1", "--max-age", "60000"});
    const int port = gateway.Port();
    const auto demoted = [&] { return ReadInput(port, 5, 1000 + 8); };
    EXPECT_EQ(ReadInput(port, 5, 0), 0);
    EXPECT_EQ(demoted(), 0);
    kill(line.Pid(), SIGSTOP);
    EXPECT_TRUE(Eventually([&] { return demoted() == 1; }, 20s));
    EXPECT_EQ(ReadInput(port, 5, 0), 0x1000B);
    EXPECT_EQ(ReadInput(port, 5, 1000 + 6), 2);  // last result: no complete reply
    kill(line.Pid(), SIGCONT);
    EXPECT_TRUE(Eventually([&] { return ReadInput(port, 5, 0) == 0; }, 20s));
    EXPECT_EQ(demoted(), 0);
}

TEST(GatewayStartTest, ABadStartEndsWithUsageAndItsReason) {
    const std::string config = testing::TempDir() + "gateway_bad_" + std::to_string(getpid()) + ".json";
    {
        std::ofstream file(config);
        file << R"({"line": {"baud": 9600.5}, "points": ["05AI1"]})";
    }
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string said;
    };
    const Case cases[] = {
        {{"gateway", "/nonexistent", "--points", "05AI1,05XX1"},
         kUsage,
         "05XX1: GAS invalid (driver result 1): QSNDUT:Illegal gate type"},
        {{"gateway", "/nonexistent", "--points", "05AI1,05CK1"}, kUsage, "05CK1: takes the place of 05AI1"},
        {{"gateway", "/nonexistent", "--points", "05MN1"}, kUsage, "05MN1: a MN gate has no value of its own"},
        {{"gateway", "/nonexistent", "--config", config}, kUsage, "line.baud: expected a whole number"},
        {{"gateway", "/nonexistent"}, kUsage, "no points"},
        {{"gateway", "--points", "05AI*,01DO3", "--print-map"}, 0, "coils              3       00004"},
        {{"gateway", "/nonexistent", "--points", "05AI2,05AO2"},
         kUsage,
         "05AI2 and 05AO2: position 2 of unit 5 cannot be an input and an output at once"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{PLEXER_PROGRAM};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProgramRun run = RunProgram(argv, 30s);
        EXPECT_EQ(run.exitCode, c.exit) << run.err;
        EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
    }
    std::remove(config.c_str());
}

}  // namespace
}  // namespace gateway_test
