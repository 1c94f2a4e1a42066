// A host's floating-point state as tests set and read it around library
// calls: MXCSR and the x87 control and status words, written directly so that
// the same code runs on Linux and on Windows (x86 only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torvane::testing {

#if defined(__i386__) || defined(__x86_64__)
#  define TORVANE_TEST_X86_FLOAT_STATE 1
#else
#  define TORVANE_TEST_X86_FLOAT_STATE 0
#endif

struct HostFloatState {
    uint32_t mxcsr = 0x1F80;
    uint16_t x87Control = 0x037F;
    uint16_t x87Status = 0;
    bool operator==(const HostFloatState& other) const {
        return mxcsr == other.mxcsr && x87Control == other.x87Control && x87Status == other.x87Status;
    }
    bool operator!=(const HostFloatState& other) const { return !(*this == other); }
};

// The default state every test program starts in, and the five exception
// bits (invalid, divide-by-zero, overflow, underflow, inexact) in each unit.
constexpr uint32_t MxcsrFiveMasks = (1u << 7) | (1u << 9) | (1u << 10) | (1u << 11) | (1u << 12);
constexpr uint32_t MxcsrFiveFlags = 0x01 | 0x04 | 0x08 | 0x10 | 0x20;
constexpr uint16_t X87FiveMasks = 0x01 | 0x04 | 0x08 | 0x10 | 0x20;
constexpr uint16_t X87FiveFlags = 0x01 | 0x04 | 0x08 | 0x10 | 0x20;

inline HostFloatState ReadHostFloatState() {
    HostFloatState state;
#if TORVANE_TEST_X86_FLOAT_STATE
    __asm__ __volatile__("stmxcsr %0" : "=m"(state.mxcsr) : : "memory");
    __asm__ __volatile__("fnstcw %0" : "=m"(state.x87Control) : : "memory");
    __asm__ __volatile__("fnstsw %0" : "=m"(state.x87Status) : : "memory");
#endif
    return state;
}

inline void WriteHostFloatState(const HostFloatState& state) {
#if TORVANE_TEST_X86_FLOAT_STATE
    uint32_t environment[7];
    __asm__ __volatile__("fnstenv %0" : "=m"(environment) : : "memory");
    environment[0] = (environment[0] & 0xFFFF0000u) | state.x87Control;
    environment[1] = (environment[1] & 0xFFFF0000u) | state.x87Status;
    __asm__ __volatile__("fldenv %0" : : "m"(environment) : "memory");
    __asm__ __volatile__("ldmxcsr %0" : : "m"(state.mxcsr) : "memory");
#else
    (void)state;
#endif
}

struct NamedFloatState {
    std::string name;
    HostFloatState state;
};

// The states hosts are known to run in, each checked against the default.
inline std::vector<NamedFloatState> HostFloatStates() {
    const HostFloatState standard;
    HostFloatState traps = standard;
    traps.mxcsr &= ~MxcsrFiveMasks;
    traps.x87Control = static_cast<uint16_t>(traps.x87Control & ~X87FiveMasks);
    HostFloatState flagsRaised = standard;
    flagsRaised.mxcsr |= MxcsrFiveFlags | 0x02;  // and denormal
    flagsRaised.x87Status = X87FiveFlags | 0x02;
    HostFloatState upward = standard;
    upward.mxcsr |= 0x4000;                      // RC = 10
    upward.x87Control = static_cast<uint16_t>(upward.x87Control | 0x0800);
    HostFloatState flushToZero = standard;
    flushToZero.mxcsr |= 0x8000 | 0x0040;        // FTZ and DAZ
    HostFloatState singlePrecision = standard;
    singlePrecision.x87Control = static_cast<uint16_t>(singlePrecision.x87Control & ~0x0300);  // PC = 24 bits
    HostFloatState everything = traps;           // all of the above that can go together
    everything.mxcsr |= 0x4000 | 0x8000 | 0x0040;
    everything.x87Control = static_cast<uint16_t>((everything.x87Control | 0x0800) & ~0x0300);
    return {{"default", standard},          {"traps on (all five)", traps},
            {"flags already raised", flagsRaised}, {"round upward", upward},
            {"flush-to-zero and denormals-are-zero", flushToZero},
            {"x87 at 24-bit precision", singlePrecision},
            {"traps, upward, FTZ+DAZ, 24-bit at once", everything}};
}

}  // namespace torvane::testing
