// Speed of the tracking step of mode 2 on one thread, beside the same work done
// with plain library calls in the same run: one grey conversion and one sparse
// tracker call with the same settings, points and frames.
//
// What is timed: torvane::TrackingStep() itself, with the state set up through
// InitCam and ObjectAdd and the camera frame swapped in as a header (no copy),
// so that frame fetching is left out of both sides. Frames: the test picture
// resized to the frame size, and the same moved by (0.4, 0.3) px, in turn.
// Points: strongest corners of the first frame.
//
// Arguments: frame width, frame height, objects.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "camera_state.hpp"
#include "scripted_camera.hpp"
#include "torvane.h"

namespace {

struct Scene {
    cv::Mat frames[2];                  // BGR, shown in turn
    std::vector<cv::Point2f> corners;   // up to 256 points on the first frame
};

const Scene& SceneOfSize(int width, int height) {
    static std::map<std::pair<int, int>, Scene> scenes;
    Scene& scene = scenes[{width, height}];
    if (scene.frames[0].empty()) {
        const cv::Mat photo = cv::imread(TORVANE_TEST_DATA_DIR "/rubberwhale1.png", cv::IMREAD_COLOR);
        if (photo.empty()) throw std::runtime_error("test picture missing");
        cv::resize(photo, scene.frames[0], cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, 0.4, 0, 1, 0.3);
        cv::warpAffine(scene.frames[0], scene.frames[1], move, scene.frames[0].size(), cv::INTER_LINEAR,
                       cv::BORDER_REPLICATE);
        cv::Mat gray;
        cv::cvtColor(scene.frames[0], gray, cv::COLOR_BGR2GRAY);
        cv::goodFeaturesToTrack(gray, scene.corners, 256, 0.01, 8);
        // Fill up with a grid should the picture hold fewer corners.
        for (int i = 0; scene.corners.size() < 256; ++i) {
            scene.corners.emplace_back(static_cast<float>(20 + (i * 37) % (width - 40)),
                                       static_cast<float>(20 + (i * 53) % (height - 40)));
        }
    }
    return scene;
}

const Scene& SetUp(const benchmark::State& state, int& objectCount) {
    cv::setNumThreads(1);
    objectCount = static_cast<int>(state.range(2));
    return SceneOfSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}

void BM_TrackingStep(benchmark::State& state) {
    int objectCount = 0;
    const Scene& scene = SetUp(state, objectCount);
    torvane::testing::ScriptedCamera camera({scene.frames[0]});
    if (InitCam() != 1.0) {
        state.SkipWithError("InitCam failed");
        return;
    }
    for (int i = 0; i < objectCount; ++i) ObjectAdd(scene.corners[i].x, scene.corners[i].y);
    cv::Mat& frame = torvane::cameraState.camera.frame;
    frame = scene.frames[0];
    torvane::TrackingStep();  // primes on the first frame
    int shown = 0;
    for (auto _ : state) {
        shown ^= 1;
        frame = scene.frames[shown];
        torvane::TrackingStep();
    }
    benchmark::DoNotOptimize(ObjectGetX(0));
    UnloadCam();
    torvane::ClearObjectTable();
}

void BM_DirectTracking(benchmark::State& state) {
    int objectCount = 0;
    const Scene& scene = SetUp(state, objectCount);
    cv::Mat previousGray, currentGray;
    cv::cvtColor(scene.frames[0], previousGray, cv::COLOR_BGR2GRAY);
    std::vector<cv::Point2f> points(scene.corners.begin(), scene.corners.begin() + objectCount), tracked;
    std::vector<unsigned char> status;
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, static_cast<double>(0.03f));
    int shown = 0;
    for (auto _ : state) {
        shown ^= 1;
        cv::cvtColor(scene.frames[shown], currentGray, cv::COLOR_BGR2GRAY);
        if (!points.empty()) {
            cv::calcOpticalFlowPyrLK(previousGray, currentGray, points, tracked, status, cv::noArray(),
                                     cv::Size(10, 10), 3, criteria, cv::OPTFLOW_LK_GET_MIN_EIGENVALS);
            std::swap(points, tracked);
        }
        cv::swap(previousGray, currentGray);
    }
    benchmark::DoNotOptimize(points.data());
}

void FrameSizesAndObjects(benchmark::internal::Benchmark* benchmark) {
    for (const auto& [width, height] : {std::pair{640, 480}, std::pair{1920, 1080}}) {
        for (const int objects : {0, 16, 256}) benchmark->Args({width, height, objects});
    }
    benchmark->ArgNames({"width", "height", "objects"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_TrackingStep)->Apply(FrameSizesAndObjects);
BENCHMARK(BM_DirectTracking)->Apply(FrameSizesAndObjects);

}  // namespace
