// plexer gateway against the simulator, with Modbus clients nobody here wrote
// (mbpoll, pymodbus) and a raw socket for what no polite client sends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "../sim/sim_test_support.h"
#include "config.h"
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

// The gateway serves before its first poll: values read before it are 0x0B.
void AwaitFirstPoll(int port, std::initializer_list<std::uint8_t> units) {
    for (const std::uint8_t unit : units) {
        EXPECT_TRUE(Eventually([&] { return ReadInput(port, unit, 1000 + 6) == 0; }, 10s)) << int{unit};
    }
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
    AwaitFirstPoll(gateway.Port(), {5, 1, 11});
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
        {{"write_register", 5, 2, 5000}, 0x03},           // above 4095: never reaches the driver
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
    AwaitFirstPoll(gateway.Port(), {5});
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
    // 40 clients at once, the cap: each is served.
    std::vector<std::unique_ptr<Socket>> clients;
    for (int i = 0; i < 38; ++i) clients.push_back(std::make_unique<Socket>(gateway.Port()));
    for (const auto& client : clients) client->Send(read);
    for (const auto& client : clients) EXPECT_EQ(client->Receive(3s, answer.size()), answer);
    EXPECT_EQ(half.Receive(3s), std::nullopt);
    EXPECT_EQ(idle.Receive(3s), std::nullopt);
    EXPECT_EQ(ReadInput(gateway.Port(), 5, 1), 257);
}

TEST_F(GatewayTest, RandomBytesNeverStopTheGateway) {
    Gateway gateway(On({"--points", "05AI0,05AI1,05AO2,01DO4"}));
    AwaitFirstPoll(gateway.Port(), {5});
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
    gateway.Await(std::regex(R"("health":\[\{"unit":5,"state":"[a-z ]+","transactions":)"), 10s);
    AwaitFirstPoll(gateway.Port(), {5});
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
    EXPECT_TRUE(Eventually([&] { return ReadInput(port, 5, 0) == 0; }, 10s));
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
        {{"gateway", "/nonexistent", "--config", config}, kUsage, "line.baud: must be a whole number"},
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

Bytes WriteRegister(std::uint8_t unit, std::uint8_t address, std::uint16_t value) {
    return Adu(unit, {6, 0, address, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

bool IsException(const std::optional<Bytes>& reply, std::uint8_t code) {
    return reply && reply->size() == 9 && ((*reply)[7] & 0x80) != 0 && (*reply)[8] == code;
}

// User and system time of a process, from /proc.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::stol(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int OpenDescriptors(pid_t pid) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        ++count;
    }
    return count;
}

// A dead unit neither delays serving nor the writes to the others, and its own
// writes are refused at once once it is set aside.
TEST(GatewayLineTest, ADeadUnitCostsTheOthersLittle) {
    qsn::test::SimThread rack(qsn::test::TestRack());
    Gateway gateway({"gateway", rack.SlavePath(), "--listen", "127.0.0.1:0", "--points", "30AO0,05AO2", "-t", "1000",
                     "--interval", "100"});
    const int port = gateway.Port();
    // Its first poll takes three attempts of a second: still going, yet the gateway serves.
    EXPECT_EQ(ReadInput(port, kSilent, 1000 + 6), 0xFFFF);
    EXPECT_TRUE(Eventually([&] { return ReadInput(port, kSilent, 1000 + 8) == 1; }, 30s));
    Socket client(port);
    const Clock::time_point sent = Clock::now();
    client.Send(WriteRegister(kSilent, 0, 5));
    EXPECT_TRUE(IsException(client.Receive(3s, 9), 0x0B));
    EXPECT_LT(Clock::now() - sent, 500ms);
    for (const char* value : {"1000", "2000", "3000"}) {
        const ProgramRun run = RunProgram({"/usr/bin/mbpoll", "-m", "tcp", "-p", std::to_string(port), "-1", "-o", "1",
                                           "-a", "5", "-r", "3", "-t", "4", "127.0.0.1", value},
                                          30s);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    }
}

TEST_F(GatewayTest, AWriteStormDoesNotStarveReads) {
    Gateway gateway(On({"--points", kRackPoints}));
    const int port = gateway.Port();
    EXPECT_TRUE(Eventually([&] { return ReadInput(port, 11, 0) == 25; }, 10s));
    std::atomic<bool> storming{true};
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            Socket client(port);
            for (std::uint16_t value = 0; storming; ++value) {
                client.Send(WriteRegister(5, static_cast<std::uint8_t>(2 + w % 2), value % 4096));
                client.Receive(5s, 12);
            }
        });
    }
    int oldest = 0;  // tenths of a second since unit 0x0B's last good read
    for (const Clock::time_point end = Clock::now() + 3s; Clock::now() < end;) {
        oldest = std::max(oldest, ReadInput(port, 11, 1000 + 7));
        std::this_thread::sleep_for(100ms);
    }
    storming = false;
    for (std::thread& writer : writers) writer.join();
    EXPECT_LE(oldest, 20);
    EXPECT_EQ(ReadInput(port, 11, 0), 25);
}

// Writes queued for a unit that never answers: a stop answers them all and
// exits within the transaction on the line and the drain time-out.
TEST(GatewayStopTest, SigtermWithWritesQueuedForASilentUnitEndsWithinTheDrain) {
    qsn::test::SimThread rack(qsn::test::TestRack());
    Gateway gateway({"gateway", rack.SlavePath(), "--listen", "127.0.0.1:0", "--points", "30AO0", "-t", "300",
                     "--drain-timeout", "1"});
    std::vector<std::unique_ptr<Socket>> clients;
    for (std::uint16_t i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<Socket>(gateway.Port()));
        clients.back()->Send(WriteRegister(kSilent, 0, i));
    }
    std::this_thread::sleep_for(200ms);
    const Clock::time_point stop = Clock::now();
    gateway.Signal(SIGTERM);
    for (const auto& client : clients) {
        const std::optional<Bytes> reply = client->Receive(10s, 9);
        EXPECT_TRUE(IsException(reply, 0x04) || IsException(reply, 0x0B));
    }
    EXPECT_EQ(gateway.Stop(0), 0);
    // At most the poll on the line (three attempts of up to three time-outs) and the drain;
    // one write after another, as before, would take 8 times that poll.
    EXPECT_LT(Clock::now() - stop, 8s) << std::chrono::duration<double>(Clock::now() - stop).count();
}

TEST_F(GatewayTest, AtTheCapTheClientIdleLongestMakesRoom) {
    Gateway gateway(On({"--points", "05AI*", "--max-clients", "3"}));
    const Bytes read = Adu(5, {4, 0, 1, 0, 1});
    const Bytes answer{0, 1, 0, 0, 0, 5, 5, 4, 2, 1, 1};
    EXPECT_TRUE(Eventually([&] { return ReadInput(gateway.Port(), 5, 1) == 257; }, 10s));
    std::vector<std::unique_ptr<Socket>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<Socket>(gateway.Port()));
        clients.back()->Send(read);
        EXPECT_EQ(clients.back()->Receive(3s, answer.size()), answer) << "client " << i;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(clients[0]->Receive(3s), std::nullopt);  // the idlest, closed
    clients[1]->Send(read);
    EXPECT_EQ(clients[1]->Receive(3s, answer.size()), answer);
}

// Out of descriptors, accept fails with EMFILE while the listener stays
// readable: the gateway must make room, not spin.
TEST_F(GatewayTest, OutOfDescriptorsItNeitherSpinsNorLocksClientsOut) {
    Gateway gateway(On({"--points", "05AI*"}));
    const int port = gateway.Port();
    EXPECT_TRUE(Eventually([&] { return ReadInput(port, 5, 1) == 257; }, 10s));
    const std::string limit = std::to_string(OpenDescriptors(gateway.Pid()) + 3);
    ASSERT_EQ(RunProgram({"/usr/bin/prlimit", "--pid", std::to_string(gateway.Pid()), "--nofile=" + limit + ":" + limit},
                         10s)
                  .exitCode,
              0);
    std::vector<std::unique_ptr<Socket>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<Socket>(port));
    const double before = CpuSeconds(gateway.Pid());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(CpuSeconds(gateway.Pid()) - before, 0.5);
    // Far below the cap, so only running out of descriptors let these go.
    const auto closed = std::count_if(clients.begin(), clients.end(),
                                      [](const auto& client) { return !client->Receive(100ms).has_value(); });
    EXPECT_GE(closed, 15);
    EXPECT_EQ(ReadInput(port, 5, 1), 257);
}

// SIGHUP reloads the file off the serving thread: a unit made read-only
// refuses writes from then on. What is not a regular file of at most 1 MiB is
// refused by name, a FIFO without waiting on it, while a client keeps reading.
TEST(GatewayStartTest, SighupReloadsTheConfigFile) {
    qsn::test::SimThread rack(qsn::test::TestRack());
    const std::string config = testing::TempDir() + "gateway_reload_" + std::to_string(getpid()) + ".json";
    const std::string points = R"({"points": ["05AO2"]})";
    std::ofstream(config) << points;
    // The log, on standard error, joins what the helper reads.
    Gateway gateway({"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", PLEXER_PROGRAM, "-q", "gateway", rack.SlavePath(),
                     "--listen", "127.0.0.1:0", "--config", config, "-t", "50"},
                    60s);
    const json write = json::array({{"write_register", 5, 2, 7}});
    const std::vector<json> written{{{"values", json::array()}}};
    const std::vector<json> refused{{{"exception", 1}}};
    EXPECT_EQ(Pymodbus(gateway.Port(), write), written);
    const std::string notReloaded = "SIGHUP: configuration not reloaded: " + config;
    struct Row {
        std::function<void()> place;
        std::string log;
        const std::vector<json>& answer;
    };
    const Row rows[] = {
        {[&] { mkfifo(config.c_str(), 0600); }, notReloaded + " is a FIFO, not a regular file", written},
        {[&] { std::filesystem::create_directory(config); }, notReloaded + " is a directory, not a regular file",
         written},
        {[&] { std::ofstream(config) << points << std::string(1 << 20, ' '); },
         notReloaded + " is " + std::to_string(points.size() + (1 << 20)) + " bytes", written},
        {[&] { std::ofstream(config) << R"({"points": ["05AO2"], "units": {"05": {"readOnly": true}}})"; },
         "SIGHUP: configuration reloaded", refused},
    };
    std::atomic<int> answered{0};
    std::atomic<int> unanswered{0};
    {
        // A client reading a health register every 20 ms throughout.
        const std::jthread reader([&](std::stop_token stop) {
            std::mutex mutex;
            std::unique_lock lock(mutex);
            std::condition_variable_any pause;
            while (!pause.wait_for(lock, stop, 20ms, [&stop] { return stop.stop_requested(); })) {
                ++(ReadInput(gateway.Port(), 5, 1000 + 6) >= 0 ? answered : unanswered);
            }
        });
        for (const Row& row : rows) {
            SCOPED_TRACE(row.log);
            std::filesystem::remove_all(config);
            row.place();
            const int before = answered;
            gateway.Signal(SIGHUP);
            EXPECT_NO_THROW(gateway.Await(std::regex(row.log), 10s));
            EXPECT_TRUE(Eventually([&] { return answered > before + 3; }, 10s));
            EXPECT_TRUE(Eventually([&] { return Pymodbus(gateway.Port(), write) == row.answer; }, 10s));
        }
    }
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(gateway.Stop(SIGTERM), 0);
    std::filesystem::remove_all(config);
}

// Where the gateway listens is the kernel's word, and an address this machine
// does not have fails rather than listening everywhere; the page takes the same
// forms, a bare port as one on loopback. "none" turns off what the file turns on.
TEST(GatewayStartTest, ListenAddresses) {
    qsn::test::SimThread rack(qsn::test::TestRack());
    const std::string config = testing::TempDir() + "gateway_listen_" + std::to_string(getpid()) + ".json";
    std::ofstream(config) << R"({"http": "127.0.0.1:0", "listen": "127.0.0.1:0", "mqtt": {"url": "mqtt://127.0.0.1:1"}})";
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out;
        std::string err;
        std::string absent = "no such text";  // from the output
    };
    const Case cases[] = {
        {{"--config", config, "--http", "none", "--mqtt", "none"}, 0, "listening on 127.0.0.1:", "", "status page"},
        {{"--config", config, "--listen", "none", "--mqtt", "none"}, 0, "status page on http://127.0.0.1:", "",
         "listening on"},
        {{"--config", config, "--listen", "none", "--http", "none", "--mqtt", "none"}, kUsage, "", "nothing to serve"},
        {{"--http", ""}, kUsage, "", "http: give an address, or none"},
        {{"--listen", ""}, kUsage, "", "listen: give an address, or none"},
        {{"--listen", "0.1.2.3:5021"}, 3, "", "cannot listen on 0.1.2.3:5021"},
        {{"--listen", "localhost:0"}, 0, "listening on 127.0.0.1:", ""},
        {{"--listen", "[::1]:0"}, 0, "listening on [::1]:", ""},
        {{"--listen", "0.0.0.0:0"}, 0, "listening on 0.0.0.0:", "warning: listening on 0.0.0.0:"},
        {{"--listen", "0.0.0.0:0", "--read-only"}, 0, "listening on 0.0.0.0:", ""},
        {{"--http", "0", "--listen", "127.0.0.1:0"}, 0, "status page on http://127.0.0.1:", ""},
        {{"--http", "[::1]:0", "--listen", "127.0.0.1:0"}, 0, "status page on http://[::1]:", ""},
        {{"--http", "0.0.0.0:0", "--listen", "127.0.0.1:0"}, 0, "status page on http://0.0.0.0:",
         "warning: status page on 0.0.0.0:"},
        {{"--http", "0.1.2.3:8080", "--listen", "127.0.0.1:0"}, 3, "", "http: cannot listen on 0.1.2.3:8080"},
        {{"--http", "nowhere:80"}, kUsage, "", "http: nowhere is not an IPv4 address"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{PLEXER_PROGRAM, "gateway", rack.SlavePath(), "--points", "05AI0"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProgramRun run = RunProgram(argv, 30s, 1500ms);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(run.exitCode, c.exit) << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find(c.absent), std::string::npos) << run.out;
        if (c.err.empty()) {
            EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
        }
    }
    std::remove(config.c_str());
}

std::string Shown(double number) {
    std::ostringstream text;
    text << number;
    return text.str();
}

// Every numeric setting refuses the same values on the command line and in the
// file, for the same reason.
TEST(GatewayStartTest, EverySettingRefusesAlikeOnTheCommandLineAndInTheFile) {
    const std::string config = testing::TempDir() + "gateway_setting_" + std::to_string(getpid()) + ".json";
    for (const plexer::gateway::SettingEntry& entry : plexer::gateway::kSettings) {
        std::vector<std::string> refused{Shown(entry.low - 1), Shown(entry.high + 1), "\"x\""};
        if (entry.whole) refused.push_back(Shown(entry.low + 0.5));
        if (entry.low > 0) refused.push_back("0");
        for (const std::string& value : refused) {
            SCOPED_TRACE(std::string(entry.flag) + " " + value);
            const std::string cliValue = value == "\"x\"" ? "x" : value;
            const ProgramRun cli = RunProgram({PLEXER_PROGRAM, "gateway", "/nonexistent", "--points", "05AI1",
                                               entry.flag, cliValue},
                                              30s);
            const std::string setting = "\"" + std::string(entry.key) + "\": " + value;
            std::ofstream(config) << "{\"points\": [\"05AI1\"], /* refused: */ "
                                  << (entry.section ? "\"" + std::string(entry.section) + "\": {" + setting + "}" : setting)
                                  << "}";
            const ProgramRun file = RunProgram({PLEXER_PROGRAM, "gateway", "/nonexistent", "--config", config}, 30s);
            EXPECT_EQ(cli.exitCode, kUsage);
            EXPECT_EQ(file.exitCode, kUsage);
            const std::size_t at = cli.err.find(std::string(entry.flag) + ": ");
            ASSERT_NE(at, std::string::npos) << cli.err;
            const std::string why = cli.err.substr(at + std::strlen(entry.flag) + 2, cli.err.find('\n', at) - at -
                                                                                     std::strlen(entry.flag) - 2);
            const std::string path = entry.section ? std::string(entry.section) + "." + entry.key : entry.key;
            EXPECT_NE(file.err.find(path + ": " + why), std::string::npos) << file.err << why;
        }
    }
    std::remove(config.c_str());
}

}  // namespace
}  // namespace gateway_test
