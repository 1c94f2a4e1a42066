// The floating-point state the library computes under, whatever its host set.
//
// Hosts differ: some unmask floating-point exceptions (an invalid comparison
// against NaN would then trap), change the rounding direction, flush
// denormals to zero or lower the x87 precision. Every exported call runs
// under the library's own state and hands the host back exactly its own: the
// control bits and the host's own pending exception flags, bit for bit; flags
// the library raises never reach the host.
//
// The library's state: every exception masked, round to nearest, no
// flush-to-zero or denormals-are-zero, x87 at full (64-bit) precision.
// On processors other than x86 the scope does nothing.
#pragma once

#include <cstdint>

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#  define TORVANE_X86_FLOAT_STATE 1
#else
#  define TORVANE_X86_FLOAT_STATE 0
#endif

namespace torvane {

#if TORVANE_X86_FLOAT_STATE
#  if defined(__i386__) || defined(_M_IX86)
// 32-bit code returns every double through the x87 stack (a denormal loaded
// there raises a flag), so the fast path watches the x87 status word too. In
// 64-bit code nothing computes with the x87 unit: no long double anywhere, and
// doubles travel in SSE registers.
constexpr bool X87StatusMayChange = true;
#  else
constexpr bool X87StatusMayChange = false;
#  endif

// MXCSR: exception flags (bits 0-5), the rest control.
constexpr uint32_t MxcsrFlagBits = 0x003F;
constexpr uint32_t LibraryMxcsr = 0x1F80;  // all masked, round to nearest, FTZ and DAZ off
// x87 control word: exception masks (0-5), precision (8-9), rounding (10-11).
constexpr uint16_t X87ControlBits = 0x0F3F;
constexpr uint16_t LibraryX87Control = 0x037F;  // all masked, 64-bit precision, round to nearest

// What fnstenv stores in 32-bit protected mode (both 32- and 64-bit x86).
struct X87Environment {
    uint32_t control;
    uint32_t status;
    uint32_t tags;
    uint32_t instructionOffset;
    uint32_t instructionSelector;
    uint32_t operandOffset;
    uint32_t operandSelector;
};

inline uint32_t ReadMxcsr() {
    uint32_t value;
    __asm__ __volatile__("stmxcsr %0" : "=m"(value));
    return value;
}
inline uint16_t ReadX87Control() {
    uint16_t value;
    __asm__ __volatile__("fnstcw %0" : "=m"(value));
    return value;
}
inline uint16_t ReadX87Status() {
    uint16_t value;
    __asm__ __volatile__("fnstsw %0" : "=a"(value));
    return value;
}
#endif

// Puts the calling thread in the library's floating-point state for its
// lifetime and restores what was there before, bit for bit. When the state is
// already the library's (the usual case) there is no switch: on the way out
// MXCSR is loaded back as it was (its flags), and in 32-bit code the x87
// status word too if it changed. Use one at the top of every exported call and
// of every body that runs on a worker thread.
class LibraryFloatScope {
public:
    LibraryFloatScope() noexcept {
#if TORVANE_X86_FLOAT_STATE
        savedMxcsr_ = ReadMxcsr();
        if (X87StatusMayChange) savedX87Status_ = ReadX87Status();
        switched_ = (savedMxcsr_ & ~MxcsrFlagBits) != LibraryMxcsr ||
                    (ReadX87Control() & X87ControlBits) != (LibraryX87Control & X87ControlBits);
        if (switched_) SwitchToLibraryState();
        __asm__ __volatile__("" ::: "memory");
#endif
    }

    ~LibraryFloatScope() {
#if TORVANE_X86_FLOAT_STATE
        __asm__ __volatile__("" ::: "memory");
        if (switched_) {
            RestoreSavedState();
            return;
        }
        // Loading is cheaper than reading and comparing.
        __asm__ __volatile__("ldmxcsr %0" : : "m"(savedMxcsr_) : "memory");
        if (X87StatusMayChange && ReadX87Status() != savedX87Status_) RestoreX87Status();
#endif
    }

    LibraryFloatScope(const LibraryFloatScope&) = delete;
    LibraryFloatScope& operator=(const LibraryFloatScope&) = delete;

    // Runs action(context) under the state that was in force when this scope
    // began (for code that runs the host's own code, such as a modal message
    // loop), then returns to the library's state.
    void RunUnderSavedState(void (*action)(void*), void* context) const;

private:
#if TORVANE_X86_FLOAT_STATE
    void SwitchToLibraryState() noexcept;
    void RestoreSavedState() noexcept;
    void RestoreX87Status() noexcept;

    uint32_t savedMxcsr_;
    uint16_t savedX87Status_ = 0;
    bool switched_;
    X87Environment savedX87_;  // filled only when switched_
#endif
};

// The scope of an exported call: a LibraryFloatScope that the library can
// find again while the call runs, to show a notice under the host's state.
// Exported calls come one at a time from one thread, so one pointer is enough.
class ExportedCallFloatScope : public LibraryFloatScope {
public:
    ExportedCallFloatScope() noexcept : enclosing_(innermost_) { innermost_ = this; }
    ~ExportedCallFloatScope() { innermost_ = enclosing_; }

    // Runs action(context) under the caller's state when an exported call is
    // running, else as it is.
    static void RunUnderCallerState(void (*action)(void*), void* context);

private:
    const ExportedCallFloatScope* enclosing_;
    static const ExportedCallFloatScope* innermost_;
};

}  // namespace torvane
