// Speed of the dense motion field on one thread, against a plain composition of
// imaging-library calls doing a 5x5 least-squares solve with a smaller-eigenvalue
// guard, against the per-pixel reference, and against DIS optical flow (ultrafast preset).
// Frames: the test picture resized to the frame size, moved by (0.6, 0.3) px.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <cmath>
#include <map>
#include <utility>

#include "dense_flow.hpp"
#include "support/warp_fixture.hpp"

namespace {

struct BenchFrames {
    cv::Mat previousGrey;
    cv::Mat currentGrey;
    cv::Mat currentColour;
};

const BenchFrames& FramesOfSize(int width, int height) {
    static std::map<std::pair<int, int>, BenchFrames> framesBySize;
    BenchFrames& frames = framesBySize[{width, height}];
    if (frames.previousGrey.empty()) {
        cv::Mat previousColour;
        cv::resize(torvane::testing::LoadTestPictureColour(), previousColour, cv::Size(width, height), 0, 0,
                   cv::INTER_LINEAR);
        frames.currentColour = torvane::testing::WarpByMotion(previousColour, torvane::testing::ShiftMotion(0.6, 0.3));
        cv::cvtColor(previousColour, frames.previousGrey, cv::COLOR_BGR2GRAY);
        cv::cvtColor(frames.currentColour, frames.currentGrey, cv::COLOR_BGR2GRAY);
    }
    return frames;
}

const BenchFrames& SetUp(const benchmark::State& state) {
    cv::setNumThreads(1);
    return FramesOfSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}

// The straightforward build of the same field from whole-image library calls,
// with its buffers kept across frames.
class PlainComposition {
public:
    void Compute(const cv::Mat& previous, const cv::Mat& current, cv::Mat& flowX, cv::Mat& flowY) {
        constexpr float kMinWeakEigenvalue = 1.0f;
        cv::Sobel(previous, gradientX_, CV_32F, 1, 0, 3, 1.0 / 8, 0, cv::BORDER_REPLICATE);
        cv::Sobel(previous, gradientY_, CV_32F, 0, 1, 3, 1.0 / 8, 0, cv::BORDER_REPLICATE);
        cv::subtract(current, previous, gradientT_, cv::noArray(), CV_32F);
        cv::multiply(gradientX_, gradientX_, xx_);
        cv::multiply(gradientX_, gradientY_, xy_);
        cv::multiply(gradientY_, gradientY_, yy_);
        cv::multiply(gradientX_, gradientT_, xt_);
        cv::multiply(gradientY_, gradientT_, yt_);
        for (cv::Mat* plane : {&xx_, &xy_, &yy_, &xt_, &yt_}) {
            cv::boxFilter(*plane, *plane, -1, cv::Size(5, 5), cv::Point(-1, -1), true, cv::BORDER_REPLICATE);
        }
        flowX.create(previous.size(), CV_32FC1);
        flowY.create(previous.size(), CV_32FC1);
        for (int y = 0; y < previous.rows; ++y) {
            const float* a = xx_.ptr<float>(y);
            const float* b = xy_.ptr<float>(y);
            const float* d = yy_.ptr<float>(y);
            const float* e = xt_.ptr<float>(y);
            const float* f = yt_.ptr<float>(y);
            float* velocityX = flowX.ptr<float>(y);
            float* velocityY = flowY.ptr<float>(y);
            for (int x = 0; x < previous.cols; ++x) {
                const float determinant = a[x] * d[x] - b[x] * b[x];
                const float weak =
                    (a[x] + d[x]) * 0.5f - std::sqrt((a[x] - d[x]) * (a[x] - d[x]) * 0.25f + b[x] * b[x]);
                const bool solvable = weak > kMinWeakEigenvalue;
                velocityX[x] = solvable ? (b[x] * f[x] - d[x] * e[x]) / determinant : 0.0f;
                velocityY[x] = solvable ? (b[x] * e[x] - a[x] * f[x]) / determinant : 0.0f;
            }
        }
    }

private:
    cv::Mat gradientX_, gradientY_, gradientT_, xx_, xy_, yy_, xt_, yt_;
};

// state.range(2): 1 lets the field use AVX2 where the CPU has it, 0 keeps the baseline SSE2 path.
void BM_DenseFlowFast(benchmark::State& state) {
    const BenchFrames& frames = SetUp(state);
    torvane::DenseFlowWorkspace workspace;
    workspace.useWideSimd = state.range(2) != 0;
    state.SetLabel(workspace.useWideSimd && torvane::DenseFlowWideSimdAvailable() ? "avx2" : "sse2");
    cv::Mat flowX, flowY;
    for (auto _ : state) {
        torvane::ComputeDenseFlow(frames.previousGrey, frames.currentGrey, flowX, flowY, workspace);
        benchmark::DoNotOptimize(flowX.data);
    }
}

// The whole motion step of one camera frame: grey conversion, then the field.
void BM_MotionStepFast(benchmark::State& state) {
    const BenchFrames& frames = SetUp(state);
    torvane::DenseFlowWorkspace workspace;
    cv::Mat currentGrey, flowX, flowY;
    for (auto _ : state) {
        cv::cvtColor(frames.currentColour, currentGrey, cv::COLOR_BGR2GRAY);
        torvane::ComputeDenseFlow(frames.previousGrey, currentGrey, flowX, flowY, workspace);
        benchmark::DoNotOptimize(flowX.data);
    }
}

void BM_DenseFlowPlainComposition(benchmark::State& state) {
    const BenchFrames& frames = SetUp(state);
    PlainComposition composition;
    cv::Mat flowX, flowY;
    for (auto _ : state) {
        composition.Compute(frames.previousGrey, frames.currentGrey, flowX, flowY);
        benchmark::DoNotOptimize(flowX.data);
    }
}

void BM_DenseFlowReference(benchmark::State& state) {
    const BenchFrames& frames = SetUp(state);
    cv::Mat flowX, flowY;
    for (auto _ : state) {
        torvane::ComputeDenseFlowReference(frames.previousGrey, frames.currentGrey, flowX, flowY);
        benchmark::DoNotOptimize(flowX.data);
    }
}

void BM_DisOpticalFlowUltrafast(benchmark::State& state) {
    const BenchFrames& frames = SetUp(state);
    const cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_ULTRAFAST);
    cv::Mat flow;
    for (auto _ : state) {
        dis->calc(frames.previousGrey, frames.currentGrey, flow);
        benchmark::DoNotOptimize(flow.data);
    }
}

void FrameSizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Args({640, 480})->Args({1920, 1080})->ArgNames({"width", "height"});
    benchmark->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_DenseFlowFast)
    ->Args({640, 480, 1})
    ->Args({1920, 1080, 1})
    ->Args({640, 480, 0})
    ->Args({1920, 1080, 0})
    ->ArgNames({"width", "height", "wide"})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MotionStepFast)->Apply(FrameSizes);
BENCHMARK(BM_DenseFlowPlainComposition)->Apply(FrameSizes);
BENCHMARK(BM_DisOpticalFlowUltrafast)->Apply(FrameSizes);
BENCHMARK(BM_DenseFlowReference)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->ArgNames({"width", "height"})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace
