#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "driver_fixture.h"
#include "host/identify.h"

namespace {

using DispatchTest = DriverTest;

TEST_F(DispatchTest, IdentifyFillsEveryFieldWithoutContext) {
    IdentBlock ident;
    std::memset(&ident, 0xAB, sizeof ident);
    RequestBlock request{};
    request.command = QSN_IDENTIFY;
    request.params = &ident;
    ASSERT_EQ(QsnMain(&request), 0);
    EXPECT_EQ(ident.identValueA, 70);
    EXPECT_STREQ(ident.familyName, "duTec I/O Plexer family");
    EXPECT_EQ(ident.contextSize, 9009);
    EXPECT_EQ(ident.identValueB, 4);
    EXPECT_EQ(ident.defaultSettings.baudRate, 9600);
    EXPECT_EQ(ident.defaultSettings.dataBits, 8);
    EXPECT_EQ(ident.defaultSettings.stopBits, 0);
    EXPECT_EQ(ident.defaultSettings.parity, 0);
    EXPECT_EQ(ident.identValueC, 3);
    EXPECT_EQ(std::strlen(ident.banner), 379u);
    EXPECT_TRUE(line.calls.empty());
    EXPECT_TRUE(log.lines.empty());
}

// The banner, line by line, from its description: a code page 437 box.
TEST(Banner, IsTheBoxByteForByte) {
    auto repeat = [](char c, int n) { return std::string(static_cast<size_t>(n), c); };
    auto framed = [&](int lead, const std::string& text) {
        return "\xB3" + repeat(' ', lead) + text + repeat(' ', 60 - lead - int(text.size())) +
               "\xB3\n";
    };
    const std::string top = "\xDA" + repeat('\xC4', 60) + "\xBF\n";
    const std::string shades = "\xB3 " + repeat('\xDB', 5) + repeat('\xB2', 6) +
                               repeat('\xB1', 6) + repeat('\xB0', 6) + " Q S N D U T " +
                               repeat('\xB0', 4) + repeat('\xB1', 6) + repeat('\xB2', 6) +
                               repeat('\xDB', 5) + "  \xB3\n";
    const std::string bottom = "\xC0" + repeat('\xC4', 60) + "\xD9\n";
    const std::string banner(qsn::kBanner.data());
    ASSERT_EQ(banner.size(), 379u);
    EXPECT_EQ(banner.substr(0, 1), "\n");
    EXPECT_EQ(banner.substr(1, 63), top);
    EXPECT_EQ(banner.substr(64, 63), shades);
    EXPECT_EQ(banner.substr(127, 63), framed(15, "duTec I/O Plexer driver installed."));
    EXPECT_EQ(banner.substr(190, 63), framed(16, "Opto22 Optomux 2 Pass Protocol."));
    const std::string fifth = banner.substr(253, 63);
    EXPECT_EQ(fifth.front(), '\xB3');
    EXPECT_EQ(fifth.substr(61), "\xB3\n");
    EXPECT_NE(fifth.find("Version 7.00"), std::string::npos);
    EXPECT_EQ(banner.substr(316, 63), bottom);
}

// Codes without a handler, outside the table, and requests missing a block
// they need: a failure result, nothing touched, nothing on the line.
TEST_F(DispatchTest, RefusesWhatHasNoHandlerOrLacksItsBlocks) {
    struct Case {
        int32_t command;
        bool withContext;
        bool withParams;
    };
    const Case cases[] = {
        {8, true, true},   {9, true, true},   {16, true, true},  {0, true, true},
        {17, true, true},  {-1, true, true},  {1000, true, true}, {1, false, true},
        {1, true, false},  {2, false, false}, {3, true, false},  {3, false, true},
        {4, true, false},  {5, true, false},  {6, true, false},  {7, true, false},
        {11, false, false}, {12, false, false}, {13, false, false}, {14, false, false},
        {15, true, false}, {15, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "command " << c.command << " context "
                                          << c.withContext << " params " << c.withParams);
        std::array<unsigned char, 64> params;
        params.fill(0x5A);
        DriverContext before;
        std::memcpy(&before, context.get(), sizeof before);
        RequestBlock request{};
        request.context = c.withContext ? context.get() : nullptr;
        request.command = c.command;
        request.params = c.withParams ? params.data() : nullptr;
        EXPECT_EQ(QsnMain(&request), 1);
        EXPECT_EQ(std::memcmp(&before, context.get(), sizeof before), 0);
        for (unsigned char b : params) EXPECT_EQ(b, 0x5A);
    }
    EXPECT_EQ(QsnMain(nullptr), 1);
    EXPECT_TRUE(line.calls.empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(DispatchTest, NoOperationAnswersOneWhateverTheBlocks) {
    std::array<unsigned char, 64> params;
    params.fill(0x33);
    RequestBlock request{};
    request.context = context.get();
    request.command = QSN_NO_OP;
    request.params = params.data();
    std::memset(request.notUsed, 0x77, sizeof request.notUsed);
    EXPECT_EQ(QsnMain(&request), 1);
    for (unsigned char b : params) EXPECT_EQ(b, 0x33);
    for (unsigned char b : request.notUsed) EXPECT_EQ(b, 0x77);
    request.context = nullptr;
    request.params = nullptr;
    EXPECT_EQ(QsnMain(&request), 1);
}

}  // namespace
