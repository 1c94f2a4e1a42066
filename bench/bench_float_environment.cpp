// What the floating-point state switch costs the two probes, measured in one
// run against the same probes without it.
//
//   *_Export            the exported call as hosts make it, host in the
//                       library's own state (the switch is skipped; only the
//                       flags the call raised are put back)
//   *_WithoutSwitch     the same checks and lookup with no state handling at
//                       all: the exported call as it was before the switch
//   *_Export/HostState  the exported call from a host in another state (x87 at
//                       53-bit precision, as several Windows runtimes set it):
//                       the full save, switch and restore
//
// Setup: a 640x480 camera (the test picture and the same moved), mode 0, two
// updates; one probe per iteration walking the picture; one thread.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "camera_state.hpp"
#include "host_float_state.hpp"
#include "real_convert.hpp"
#include "scripted_camera.hpp"
#include "support/warp_fixture.hpp"
#include "torvane.h"

namespace {

using torvane::cameraState;

struct ProbedCamera {
    cv::Mat frames[2];
    std::unique_ptr<torvane::testing::ScriptedCamera> camera;

    ProbedCamera() {
        cv::resize(torvane::testing::LoadTestPictureColour(), frames[0], cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
        frames[1] = torvane::testing::WarpByMotion(frames[0], torvane::testing::ShiftMotion(0.6, 0.3));
        camera = std::make_unique<torvane::testing::ScriptedCamera>(std::vector<cv::Mat>{frames[0], frames[1]});
        InitCam();
        SetMode(0);
        UpdateFrame();
        UpdateFrame();
    }
    ~ProbedCamera() { UnloadCam(); }
};

template <typename Probe>
void RunProbe(benchmark::State& state, Probe probe) {
    ProbedCamera open;
    const torvane::testing::HostFloatState before = torvane::testing::ReadHostFloatState();
    if (state.range(0) != 0) {
        torvane::testing::HostFloatState host = before;
        host.x87Control = static_cast<uint16_t>((host.x87Control & ~0x0300) | 0x0200);  // 53-bit precision
        torvane::testing::WriteHostFloatState(host);
    }
    double x = 0, y = 0, sum = 0;
    for (auto _ : state) {
        sum += probe(x, y);
        x += 7.25;
        if (x >= 640) {
            x -= 640;
            y = y + 3 >= 480 ? 0 : y + 3;
        }
    }
    torvane::testing::WriteHostFloatState(before);
    benchmark::DoNotOptimize(sum);
}

// The probes' bodies as the exports ran them before the switch existed.
__attribute__((noinline)) double MotionWithoutSwitch(double x, double y) {
    try {
        int32_t ix = 0, iy = 0;
        const auto& camera = cameraState.camera;
        if (!torvane::TruncateIndex(x, camera.frameWidth, ix) || !torvane::TruncateIndex(y, camera.frameHeight, iy))
            return 0.0;
        return torvane::MotionAt(ix, iy);
    } catch (...) {
        return 0.0;
    }
}

__attribute__((noinline)) double ColorWithoutSwitch(double x, double y, double color) {
    try {
        int32_t ix = 0, iy = 0;
        const auto& camera = cameraState.camera;
        if (!torvane::TruncateIndex(x, camera.frameWidth, ix) || !torvane::TruncateIndex(y, camera.frameHeight, iy))
            return -1.0;
        return torvane::ColorDistanceAt(ix, iy, torvane::TruncateLow32Bits(color));
    } catch (...) {
        return -1.0;
    }
}

void BM_IsMotion_Export(benchmark::State& state) {
    RunProbe(state, [](double x, double y) { return IsMotion(x, y); });
}
void BM_IsMotion_WithoutSwitch(benchmark::State& state) { RunProbe(state, MotionWithoutSwitch); }
void BM_IsColor_Export(benchmark::State& state) {
    RunProbe(state, [](double x, double y) { return IsColor(x, y, 0x3366CC); });
}
void BM_IsColor_WithoutSwitch(benchmark::State& state) {
    RunProbe(state, [](double x, double y) { return ColorWithoutSwitch(x, y, 0x3366CC); });
}

BENCHMARK(BM_IsMotion_WithoutSwitch)->Arg(0)->ArgName("HostState")->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_IsMotion_Export)->Arg(0)->Arg(1)->ArgName("HostState")->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_IsColor_WithoutSwitch)->Arg(0)->ArgName("HostState")->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_IsColor_Export)->Arg(0)->Arg(1)->ArgName("HostState")->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
