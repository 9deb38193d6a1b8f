#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "optomux/frame.h"

namespace {

std::string Checksum(const std::string& text) {
    char out[3];
    qsn::CalcChecksum(text.c_str(), out);
    return out;
}

std::string Val(std::uint16_t v) {
    char out[5];
    qsn::ValToAsciiHex(v, out);
    return out;
}

std::string Mask(std::uint16_t point) {
    char out[5];
    qsn::PointToMaskHex(point, out);
    return out;
}

std::string Word(std::uint16_t v) {
    char out[5];
    qsn::WordToAsciiHex(v, out);
    return out;
}

std::string Val12(std::uint16_t v) {
    char out[4];
    qsn::Val12ToAsciiHex(v, out);
    return out;
}

std::string Frame(std::uint16_t unit, char letter, const std::string& data) {
    char frame[qsn::kFrameCapacity];
    const std::size_t length = qsn::BuildCommandFrame(unit, letter, data.c_str(), frame);
    EXPECT_EQ(length, std::strlen(frame));
    return frame;
}

bool IsUpperHex(const std::string& text) {
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

TEST(Encoders, ProduceTheCatalogueVectors) {
    struct Case {
        const char* what;
        std::string actual;
        std::string expected;
    };
    const Case cases[] = {
        {"checksum of empty", Checksum(""), "00"},
        {"checksum of 05A", Checksum("05A"), "A6"},
        {"checksum of 1FI0004", Checksum("1FI0004"), "84"},
        {"checksum of 400 F", Checksum(std::string(400, 'F')), "60"},
        {"checksum of a high byte", Checksum("\xFF"), "FF"},
        {"address 0", Val(0), "00"},
        {"address 10", Val(10), "0A"},
        {"address 255", Val(255), "FF"},
        {"address 256", Val(256), "0100"},
        {"address 4660", Val(4660), "1234"},
        {"mask 1", Mask(1), "0001"},
        {"mask 3", Mask(3), "0004"},
        {"mask 16", Mask(16), "8000"},
        {"mask 0", Mask(0), "0000"},
        {"mask 17", Mask(17), "0000"},
        {"mask 32", Mask(32), "0000"},
        {"mask 33", Mask(33), "0001"},
        {"mask 65535", Mask(65535), "0000"},
        {"word 65535", Word(65535), "FFFF"},
        {"word 165", Word(165), "00A5"},
        {"val12 4095", Val12(4095), "FFF"},
        {"val12 8191", Val12(8191), "FFF"},
        {"val12 0", Val12(0), "000"},
        {"power-up clear", Frame(5, 'A', ""), ">05AA6\r"},
        {"output configuration", Frame(31, 'I', Mask(3)), ">1FI000484\r"},
        {"probe configuration", Frame(10, 'k', Mask(1) + "05"), ">0Ak00010502\r"},
        {"group read", Frame(5, 'K', Word(65535)), ">05KFFFFC8\r"},
        {"digital read", Frame(5, 'M', ""), ">05MB2\r"},
        {"analog write", Frame(5, 'S', Mask(4) + Val12(2048)), ">05S000880018\r"},
        {"four-digit address", Frame(256, 'M', ""), ">0100M0E\r"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

// Every value: upper-case digits only, the fixed width, and the value back.
TEST(Encoders, KeepWidthCaseAndValueForEverySixteenBitInput) {
    for (std::uint32_t v = 0; v <= 0xFFFF; ++v) {
        const auto value = static_cast<std::uint16_t>(v);
        const std::string word = Word(value), val12 = Val12(value), address = Val(value);
        ASSERT_TRUE(IsUpperHex(word) && IsUpperHex(val12) && IsUpperHex(address)) << v;
        ASSERT_EQ(word.size(), 4u) << v;
        ASSERT_EQ(val12.size(), 3u) << v;
        ASSERT_EQ(address.size(), v < 256 ? 2u : 4u) << v;
        ASSERT_EQ(qsn::AsciiHexToVal(word.c_str()), value) << v;
        ASSERT_EQ(qsn::AsciiHexToVal(val12.c_str()), value & 0xFFF) << v;
        ASSERT_EQ(qsn::AsciiHexToVal(address.c_str()), value) << v;
        // The mask repeats every 32 point numbers.
        if (v + 32 <= 0xFFFF) {
            ASSERT_EQ(Mask(value), Mask(static_cast<std::uint16_t>(v + 32))) << v;
        }
    }
}

TEST(Encoders, ChecksumIsTheByteSumModulo256AtAnyLength) {
    std::string text;
    for (int length = 0; length < 2000; ++length) {
        unsigned sum = 0;
        for (char c : text) sum += static_cast<unsigned char>(c);
        char expected[3];
        std::snprintf(expected, sizeof expected, "%02X", sum % 256);
        ASSERT_EQ(Checksum(text), expected) << "length " << length;
        text.push_back(static_cast<char>(33 + (length * 37) % 220));
    }
}

// Data longer than any real frame still leaves a terminated frame in the buffer.
TEST(Encoders, FrameNeverOverrunsItsBuffer) {
    struct {
        char frame[qsn::kFrameCapacity];
        char guard[8];
    } buffer;
    std::memset(&buffer, '#', sizeof buffer);
    const std::string data(300, '7');
    const std::size_t length = qsn::BuildCommandFrame(5, 'S', data.c_str(), buffer.frame);
    ASSERT_LT(length, qsn::kFrameCapacity);
    EXPECT_EQ(buffer.frame[length], '\0');
    EXPECT_EQ(buffer.frame[length - 1], '\r');
    for (char c : buffer.guard) EXPECT_EQ(c, '#');
}

TEST(AsciiHexToVal, DecodesByLengthAndStopsAtTheEnd) {
    struct Case {
        const char* text;
        std::size_t size;  // bytes of `text`, a zero in the middle included
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"FF", 2, 255},      {"FFF", 3, 4095},     {"0FFF", 4, 4095},  {"1000", 4, 4096},
        {"12345", 5, 4660},  {"8000", 4, 32768},   {"ff", 2, 799},     {"7", 1, 7},
        {"", 0, 0},          {"F\0FF", 4, 15},      {"\0FFF", 4, 0},    {"FFFFF", 5, 65535},
    };
    for (const Case& c : cases) {
        const std::string text(c.text, c.size);
        EXPECT_EQ(qsn::AsciiHexToVal(text.c_str()), c.expected) << '"' << text << '"';
    }
}

}  // namespace
