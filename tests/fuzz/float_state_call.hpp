// Runs every library call of the call-sequence replay under one host
// floating-point state (TORVANE_FUZZ_FLOAT_STATE, an index into
// HostFloatStates(); 0, the default, when unset), set just around the call,
// and aborts when the call hands back anything but that state.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "host_float_state.hpp"

namespace torvane::testing {

inline const HostFloatState& ReplayFloatState() {
    static const HostFloatState state = [] {
        const char* chosen = std::getenv("TORVANE_FUZZ_FLOAT_STATE");
        const auto states = HostFloatStates();
        const size_t index = chosen ? std::strtoul(chosen, nullptr, 10) : 0;
        if (index >= states.size()) {
            std::fprintf(stderr, "TORVANE_FUZZ_FLOAT_STATE must be below %zu\n", states.size());
            std::abort();
        }
        std::fprintf(stderr, "floating-point state: %s\n", states[index].name.c_str());
        return states[index].state;
    }();
    return state;
}

template <typename Body>
double CallUnderReplayFloatState(Body& body) {
    const HostFloatState& host = ReplayFloatState();
    const HostFloatState harness = ReadHostFloatState();
    WriteHostFloatState(host);
    const double answer = body();
    const HostFloatState givenBack = ReadHostFloatState();
    WriteHostFloatState(harness);
    if (givenBack != host) {
        std::fprintf(stderr, "a call gave back mxcsr %04x x87 control %04x status %04x; the host had %04x %04x %04x\n",
                     unsigned(givenBack.mxcsr), unsigned(givenBack.x87Control), unsigned(givenBack.x87Status),
                     unsigned(host.mxcsr), unsigned(host.x87Control), unsigned(host.x87Status));
        std::abort();
    }
    return answer;
}

}  // namespace torvane::testing

#define TORVANE_FUZZ_CALL(body) ::torvane::testing::CallUnderReplayFloatState(body)
