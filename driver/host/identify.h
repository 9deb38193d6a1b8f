#pragma once

#include <array>
#include <cstdint>

#include "qsnwndut.h"

namespace qsn {

inline constexpr char kFamilyName[] = "duTec I/O Plexer family";
// 379 characters in code page 437 and the terminating zero.
inline constexpr std::size_t kBannerLength = 379;
extern const std::array<char, kBannerLength + 1> kBanner;

// Command 14: fills the IdentBlock; needs no context.
std::int32_t Identify(const RequestBlock& request);

}  // namespace qsn
