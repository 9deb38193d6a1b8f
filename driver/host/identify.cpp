#include "host/identify.h"

#include <array>
#include <string_view>

namespace qsn {

namespace {

constexpr std::size_t kLineWidth = 62;  // a box line, without its line feed
constexpr char kTopLeft = '\xDA', kTopRight = '\xBF', kBottomLeft = '\xC0',
               kBottomRight = '\xD9', kHorizontal = '\xC4', kVertical = '\xB3';
constexpr char kFull = '\xDB', kDark = '\xB2', kMedium = '\xB1', kLight = '\xB0';

struct BannerText {
    std::array<char, kBannerLength + 1> bytes{};
    std::size_t length = 0;

    constexpr void Put(char c, std::size_t times = 1) {
        for (std::size_t i = 0; i < times; ++i) bytes[length++] = c;
    }
    constexpr void Put(std::string_view text) {
        for (char c : text) Put(c);
    }
    // A box line: the edge, `lead` blanks, the text, blanks up to the other edge.
    constexpr void Framed(std::size_t lead, std::string_view text) {
        Put(kVertical);
        Put(' ', lead);
        Put(text);
        Put(' ', kLineWidth - 2 - lead - text.size());
        Put(kVertical);
        Put('\n');
    }
};

constexpr BannerText MakeBanner() {
    BannerText b;
    b.Put('\n');
    b.Put(kTopLeft);
    b.Put(kHorizontal, 60);
    b.Put(kTopRight);
    b.Put('\n');

    b.Put(kVertical);
    b.Put(' ');
    b.Put(kFull, 5);
    b.Put(kDark, 6);
    b.Put(kMedium, 6);
    b.Put(kLight, 6);
    b.Put(" Q S N D U T ");
    b.Put(kLight, 4);
    b.Put(kMedium, 6);
    b.Put(kDark, 6);
    b.Put(kFull, 5);
    b.Put(' ', 2);
    b.Put(kVertical);
    b.Put('\n');

    b.Framed(15, "duTec I/O Plexer driver installed.");
    b.Framed(16, "Opto22 Optomux 2 Pass Protocol.");
    b.Framed(4, "Version 7.00   Free software by the QSNWNDUT developers");

    b.Put(kBottomLeft);
    b.Put(kHorizontal, 60);
    b.Put(kBottomRight);
    b.Put('\n');
    return b;
}

static_assert(MakeBanner().length == kBannerLength, "the banner is 379 characters");

}  // namespace

constinit const std::array<char, kBannerLength + 1> kBanner = MakeBanner().bytes;

std::int32_t Identify(const RequestBlock& request) {
    auto* block = static_cast<IdentBlock*>(request.params);
    block->identValueA = 70;
    block->familyName = kFamilyName;
    block->banner = kBanner.data();
    block->contextSize = QSN_CONTEXT_SIZE;
    block->identValueB = 4;
    block->defaultSettings = LineSettings{9600, 8, 0, 0};
    block->identValueC = 3;
    return QSN_OK;
}

}  // namespace qsn
