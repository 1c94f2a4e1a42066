// The library's motion step as UpdateFrame runs it in mode 0 (grey conversion
// of the new frame, the coarse-to-fine field against the kept picture), beside
// the single-scale 5x5 step it replaced and DIS optical flow at its ultrafast
// preset, all on the same frames in the same run. The probes' cost is measured
// in bench_float_environment.cpp.
//
// Scenes (scene argument): 0, a 160x160 textured patch moving (8, 0) px per
// frame over a still picture; 1, the whole picture moving (4, 2) px per frame.
// Frames alternate between the two pictures of a scene, so that every step
// sees the scene's motion (forwards, then backwards). One thread.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <map>
#include <memory>
#include <tuple>

#include "camera_state.hpp"
#include "dense_flow.hpp"
#include "motion_pyramid.hpp"
#include "scripted_camera.hpp"
#include "support/warp_fixture.hpp"
#include "torvane.h"

namespace {

using torvane::cameraState;

enum Scene { PatchOverStill = 0, WholeFrame = 1 };

struct SceneFrames {
    cv::Mat colour[2];
    cv::Mat grey[2];
};

// The test picture scaled to cover the frame with room to move, cut out twice.
const SceneFrames& FramesOf(int width, int height, int scene) {
    static std::map<std::tuple<int, int, int>, SceneFrames> cache;
    SceneFrames& frames = cache[{width, height, scene}];
    if (!frames.colour[0].empty()) return frames;
    constexpr int kMargin = 32;
    cv::Mat canvas;
    cv::resize(torvane::testing::LoadTestPictureColour(), canvas, cv::Size(width + 2 * kMargin, height + 2 * kMargin),
               0, 0, cv::INTER_LINEAR);
    const cv::Rect frameRect(kMargin, kMargin, width, height);
    frames.colour[0] = canvas(frameRect).clone();
    if (scene == WholeFrame) {
        frames.colour[1] = canvas(frameRect - cv::Point(4, 2)).clone();  // content moves (4, 2)
    } else {
        // A patch from elsewhere in the picture, flipped so that it differs from what it covers.
        cv::Mat patch;
        cv::flip(canvas(cv::Rect(0, 0, 160, 160)), patch, -1);
        frames.colour[1] = frames.colour[0].clone();
        patch.copyTo(frames.colour[0](cv::Rect(width / 4, height / 4, 160, 160)));
        patch.copyTo(frames.colour[1](cv::Rect(width / 4 + 8, height / 4, 160, 160)));
    }
    for (int i = 0; i < 2; ++i) cv::cvtColor(frames.colour[i], frames.grey[i], cv::COLOR_RGB2GRAY);
    return frames;
}

const SceneFrames& SetUp(const benchmark::State& state) {
    cv::setNumThreads(1);
    return FramesOf(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                    static_cast<int>(state.range(2)));
}

struct OpenCamera {
    std::unique_ptr<torvane::testing::ScriptedCamera> camera;

    explicit OpenCamera(const SceneFrames& frames) {
        camera = std::make_unique<torvane::testing::ScriptedCamera>(
            std::vector<cv::Mat>{frames.colour[0], frames.colour[1]});
        InitCam();
        SetMode(0);
        UpdateFrame();  // primes: keptFrame and its grey image now hold a picture
        UpdateFrame();
    }
    ~OpenCamera() { UnloadCam(); }
};

// What UpdateFrame runs in mode 0, with the camera frame swapped in as a
// header (no copy), so that fetching is left out.
void BM_MotionStep(benchmark::State& state) {
    const SceneFrames& frames = SetUp(state);
    OpenCamera open(frames);
    int next = 0;
    for (auto _ : state) {
        cameraState.camera.frame = frames.colour[next];
        next ^= 1;
        torvane::MotionStep();
        benchmark::DoNotOptimize(cameraState.images.flowX.data);
    }
}

// The step it replaced: grey conversion and the single-scale 5x5 field.
void BM_SingleScaleStep(benchmark::State& state) {
    const SceneFrames& frames = SetUp(state);
    torvane::DenseFlowWorkspace workspace;
    cv::Mat grey[2] = {frames.grey[0].clone(), frames.grey[1].clone()};
    cv::Mat flowX, flowY;
    int next = 0;
    for (auto _ : state) {
        cv::cvtColor(frames.colour[next], grey[next], cv::COLOR_RGB2GRAY);
        torvane::ComputeDenseFlow(grey[next ^ 1], grey[next], flowX, flowY, workspace);
        next ^= 1;
        benchmark::DoNotOptimize(flowX.data);
    }
}

// DIS optical flow, ultrafast preset, on the grey frames.
void BM_DisUltrafast(benchmark::State& state) {
    const SceneFrames& frames = SetUp(state);
    cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_ULTRAFAST);
    cv::Mat flow;
    int next = 0;
    for (auto _ : state) {
        dis->calc(frames.grey[next ^ 1], frames.grey[next], flow);
        next ^= 1;
        benchmark::DoNotOptimize(flow.data);
    }
}

// The field alone on the baseline SSE2 path and on the AVX2 path.
void RunField(benchmark::State& state, bool useWideSimd) {
    const SceneFrames& frames = SetUp(state);
    if (useWideSimd && !torvane::WindowSolveWideSimdAvailable()) {
        state.SkipWithError("no AVX2 on this CPU");
        return;
    }
    torvane::MotionFieldWorkspace workspace;
    workspace.useWideSimd = useWideSimd;
    cv::Mat flowX, flowY;
    torvane::ComputeMotionField(frames.grey[0], frames.grey[1], flowX, flowY, workspace);
    int next = 0;
    for (auto _ : state) {
        torvane::ComputeMotionField(frames.grey[next], frames.grey[next ^ 1], flowX, flowY, workspace, 0, true);
        next ^= 1;
        benchmark::DoNotOptimize(flowX.data);
    }
}
void BM_FieldBaselineSse2(benchmark::State& state) { RunField(state, false); }
void BM_FieldAvx2(benchmark::State& state) { RunField(state, true); }

void SceneArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"width", "height", "scene"});
    for (const auto& size : {std::pair{640, 480}, std::pair{1920, 1080}}) {
        for (int scene : {PatchOverStill, WholeFrame}) benchmark->Args({size.first, size.second, scene});
    }
    benchmark->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}
BENCHMARK(BM_MotionStep)->Apply(SceneArguments);
BENCHMARK(BM_SingleScaleStep)->Apply(SceneArguments);
BENCHMARK(BM_DisUltrafast)->Apply(SceneArguments);
BENCHMARK(BM_FieldBaselineSse2)->Apply(SceneArguments);
BENCHMARK(BM_FieldAvx2)->Apply(SceneArguments);

}  // namespace
