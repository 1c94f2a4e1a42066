// The library's own motion step as UpdateFrame runs it in mode 0 (grey
// conversion of the new frame, the field against the kept picture), and the
// cost of one probe through the exported calls.
//
// What is timed: torvane::MotionStep() with the state set up through InitCam
// and the camera frame swapped in as a header (no copy), so that fetching is
// left out. Frames: the test picture resized, and the same moved by
// (0.6, 0.3) px, in turn. One thread.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "camera_state.hpp"
#include "scripted_camera.hpp"
#include "support/warp_fixture.hpp"
#include "torvane.h"

namespace {

using torvane::cameraState;

struct OpenCamera {
    cv::Mat frames[2];
    std::unique_ptr<torvane::testing::ScriptedCamera> camera;

    OpenCamera(int width, int height) {
        cv::resize(torvane::testing::LoadTestPictureColour(), frames[0], cv::Size(width, height), 0, 0,
                   cv::INTER_LINEAR);
        frames[1] = torvane::testing::WarpByMotion(frames[0], torvane::testing::ShiftMotion(0.6, 0.3));
        camera = std::make_unique<torvane::testing::ScriptedCamera>(std::vector<cv::Mat>{frames[0], frames[1]});
        InitCam();
        SetMode(0);
        UpdateFrame();  // primes: keptFrame and its grey image now hold a picture
        UpdateFrame();
    }
    ~OpenCamera() { UnloadCam(); }
};

void BM_MotionStep(benchmark::State& state) {
    cv::setNumThreads(1);
    OpenCamera open(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    int next = 0;
    for (auto _ : state) {
        cameraState.camera.frame = open.frames[next];
        next ^= 1;
        torvane::MotionStep();
        benchmark::DoNotOptimize(cameraState.images.flowX.data);
    }
}
BENCHMARK(BM_MotionStep)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->ArgNames({"width", "height"})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// One probe per iteration, walking the picture so that reads are not all
// served from one cache line.
template <typename Probe>
void RunProbe(benchmark::State& state, Probe probe) {
    OpenCamera open(640, 480);
    double x = 0, y = 0, sum = 0;
    for (auto _ : state) {
        sum += probe(x, y);
        x += 7.25;
        if (x >= 640) {
            x -= 640;
            y = y + 3 >= 480 ? 0 : y + 3;
        }
    }
    benchmark::DoNotOptimize(sum);
}

void BM_IsMotion(benchmark::State& state) { RunProbe(state, [](double x, double y) { return IsMotion(x, y); }); }
void BM_IsColor(benchmark::State& state) {
    RunProbe(state, [](double x, double y) { return IsColor(x, y, 0x3366CC); });
}
BENCHMARK(BM_IsMotion)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_IsColor)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
