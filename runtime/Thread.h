// The thread class's priority type.
#pragma once

#include <cstdint>

namespace rt {

enum class TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// The operating system priority of each value: -15, -2, -1, 0, 1, 2, 15.
constexpr int OsThreadPriority(TThreadPriority p) {
    constexpr int kOs[] = {-15, -2, -1, 0, 1, 2, 15};
    return kOs[static_cast<int>(p)];
}

}  // namespace rt
