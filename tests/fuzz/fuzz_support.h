// What the driver's fuzz targets share: host blocks between guard bytes, a
// silent logger, and a line started on the fake port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kaldor.h"
#include "qsnwndut.h"
#include "serial/fake/fake_port.h"

namespace qsn::fuzz {

inline constexpr std::uint8_t kGuardByte = 0xA5;
inline constexpr std::size_t kGuardSize = 32;

// A host block with guard bytes on both sides: the driver must write inside
// the block and nowhere else.
template <typename T>
struct Guarded {
    std::uint8_t before[kGuardSize];
    T value;
    std::uint8_t after[kGuardSize];

    Guarded() {
        std::memset(before, kGuardByte, sizeof before);
        std::memset(after, kGuardByte, sizeof after);
        std::memset(static_cast<void*>(&value), 0, sizeof value);
    }
    void Check() const {
        for (std::size_t i = 0; i < kGuardSize; ++i) {
            if (before[i] != kGuardByte || after[i] != kGuardByte) std::abort();
        }
    }
};

inline void Quiet(int, const char*, void*) {}

inline std::int32_t Call(DriverContext* context, std::int32_t command, void* params) {
    RequestBlock request{};
    request.context = context;
    request.command = command;
    request.params = params;
    return QsnMain(&request);
}

// A fresh fake line with one device, COM1, that answers through `respond`.
inline fake::Device& FreshLine() {
    KaldorSetSink(Quiet, nullptr);
    fake::Line().Reset();
    return fake::Line().AddDevice("COM1");
}

inline bool StartLine(DriverContext* context) {
    InitBlock init{};
    std::memcpy(init.portName, "COM1", 5);
    init.enabled = 1;
    init.readTimeout = 100;
    init.settings = {9600, 8, 0, 0};
    return Call(context, QSN_START_UP, &init) == QSN_OK;
}

// Consumes the fuzzer's bytes front to back; past the end everything is 0.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::size_t Left() const { return size_ - at_; }
    // Up to `count` bytes, fewer at the end.
    std::size_t Take(void* out, std::size_t count) {
        const std::size_t n = count < Left() ? count : Left();
        if (n != 0) std::memcpy(out, data_ + at_, n);
        at_ += n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace qsn::fuzz
