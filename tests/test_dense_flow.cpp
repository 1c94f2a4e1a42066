// The dense 5x5 motion field: fast path against the plain one, precision on a
// real picture moved by known shifts, no motion read into noise, and the same
// result whatever the thread count or workspace history.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "dense_flow.hpp"
#include "support/warp_fixture.hpp"

namespace torvane {
namespace {

using testing::LoadTestPictureGrey;
using testing::ShiftMotion;
using testing::WarpByMotion;

// Both paths add exact integer window sums and then run the same IEEE float
// operations in the same order, so on a baseline x86-64 build they agree bit for bit.
constexpr float kMaxAbsDiffVsReference = 0.0f;

struct FlowField {
    cv::Mat x, y;
};

FlowField Fast(const cv::Mat& previous, const cv::Mat& current, DenseFlowWorkspace& workspace) {
    FlowField field;
    ComputeDenseFlow(previous, current, field.x, field.y, workspace);
    return field;
}

FlowField Fast(const cv::Mat& previous, const cv::Mat& current, bool useWideSimd = true) {
    DenseFlowWorkspace workspace;
    workspace.useWideSimd = useWideSimd;
    return Fast(previous, current, workspace);
}

FlowField Reference(const cv::Mat& previous, const cv::Mat& current) {
    FlowField field;
    ComputeDenseFlowReference(previous, current, field.x, field.y);
    return field;
}

bool BitIdentical(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    for (int y = 0; y < a.rows; ++y) {
        if (std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0) return false;
    }
    return true;
}

// Smooth random texture in 0..255: textured, edge-like and flat windows side by side.
cv::Mat RandomTexture(cv::Size size, std::uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat noise(size, CV_32FC1);
    rng.fill(noise, cv::RNG::UNIFORM, 0.0, 255.0);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.5, 0, cv::BORDER_REPLICATE);
    cv::normalize(noise, noise, 0, 255, cv::NORM_MINMAX);
    cv::Mat texture;
    noise.convertTo(texture, CV_8U);
    return texture;
}

// Texture and a moved, noisy copy of it.
std::pair<cv::Mat, cv::Mat> RandomPair(cv::Size size, std::uint64_t seed) {
    const cv::Mat previous = RandomTexture(size, seed);
    cv::RNG rng(seed + 1);
    return {previous, testing::WithGaussianNoise(WarpByMotion(previous, ShiftMotion(0.7, -0.4)), 3.0, rng)};
}

cv::Mat Checkerboard(cv::Size size, int cell) {
    cv::Mat board(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) board.at<std::uint8_t>(y, x) = ((x / cell + y / cell) % 2) ? 255 : 0;
    }
    return board;
}

cv::Mat Flat(cv::Size size, int level) { return cv::Mat(size, CV_8UC1, cv::Scalar(level)); }

struct FramePairCase {
    std::string name;
    cv::Mat previous, current;
};

std::vector<FramePairCase> FramePairCases() {
    const cv::Mat grey = LoadTestPictureGrey();
    const cv::Rect region(13, 7, 301, 203);
    const cv::Size board(64, 48);
    const cv::Mat cells = Checkerboard(board, 1);
    std::vector<FramePairCase> cases = {
        {"real picture, shift (0.5, 0.5)", grey, WarpByMotion(grey, ShiftMotion(0.5, 0.5))},
        {"real picture, 1 degree rotation", grey, WarpByMotion(grey, testing::RotationAboutCentre(grey.size(), 1.0))},
        {"region of a larger picture (rows not contiguous)", grey(region),
         WarpByMotion(grey, ShiftMotion(0.3, -0.6))(region)},
        {"0/255 checkerboard against its inverse", cells, 255 - cells},
        {"0/255 checkerboard against black", Checkerboard(board, 3), Flat(board, 0)},
        {"black against white", Flat(board, 0), Flat(board, 255)},
        {"flat grey, 1 level apart", Flat({37, 21}, 128), Flat({37, 21}, 129)},
    };
    const cv::Size randomSizes[] = {{1, 1}, {3, 5}, {5, 3}, {7, 7}, {33, 17}, {641, 481}};
    std::uint64_t seed = 10;
    for (const cv::Size size : randomSizes) {
        const auto [previous, current] = RandomPair(size, ++seed);
        cases.push_back({"random " + ::testing::PrintToString(size), previous, current});
    }
    return cases;
}

// Both SIMD paths (the AVX2 one where the CPU has it, and the baseline one)
// against the reference, on every input kind and size.
TEST(DenseFlow, FastPathsMatchReferenceAndStayFinite) {
    for (const FramePairCase& pairCase : FramePairCases()) {
        SCOPED_TRACE(pairCase.name);
        const cv::Mat& previous = pairCase.previous;
        const cv::Mat& current = pairCase.current;
        const FlowField reference = Reference(previous, current);
        for (const bool useWideSimd : {true, false}) {
            SCOPED_TRACE(useWideSimd ? "widest SIMD" : "baseline SIMD");
            const FlowField fast = Fast(previous, current, useWideSimd);
            for (const cv::Mat* plane : {&fast.x, &fast.y, &reference.x, &reference.y}) {
                ASSERT_EQ(plane->size(), previous.size());
                ASSERT_EQ(plane->type(), CV_32FC1);
                EXPECT_TRUE(cv::checkRange(*plane));  // no NaN or infinity anywhere
            }
            EXPECT_LE(cv::norm(fast.x, reference.x, cv::NORM_INF), kMaxAbsDiffVsReference);
            EXPECT_LE(cv::norm(fast.y, reference.y, cv::NORM_INF), kMaxAbsDiffVsReference);
        }
    }
}

TEST(DenseFlow, RecoversKnownShiftsOfARealPicture) {
    struct ShiftCase {
        double dx, dy;
        double maxMeanEndpointError;  // px, over textured pixels
    };
    const ShiftCase cases[] = {{0.25, 0.0, 0.11}, {0.5, 0.5, 0.25}, {1.0, 0.0, 0.38}};
    const cv::Mat grey = LoadTestPictureGrey();
    const cv::Mat textured = testing::TexturedMask(grey);
    for (const ShiftCase& shift : cases) {
        SCOPED_TRACE(::testing::PrintToString(shift.dx) + ", " + ::testing::PrintToString(shift.dy));
        const cv::Matx23d motion = ShiftMotion(shift.dx, shift.dy);
        const FlowField field = Fast(grey, WarpByMotion(grey, motion));
        EXPECT_LE(testing::MeasureField(field.x, field.y, motion, textured).meanEndpointError,
                  shift.maxMeanEndpointError);
    }
}

TEST(DenseFlow, ReadsNoMotionIntoNoise) {
    struct NoiseCase {
        std::string name;
        cv::Mat picture;
        double maxShareMovingOnePixel;  // of all pixels
    };
    const cv::Mat grey = LoadTestPictureGrey();
    const NoiseCase cases[] = {{"real picture", grey, 0.003}, {"flat grey", Flat(grey.size(), 128), 0.001}};
    constexpr double kNoiseSigma = 2.0;  // grey levels, independent in each frame
    cv::RNG rng(20240611);
    for (const NoiseCase& noiseCase : cases) {
        SCOPED_TRACE(noiseCase.name);
        const cv::Mat previous = testing::WithGaussianNoise(noiseCase.picture, kNoiseSigma, rng);
        const cv::Mat current = testing::WithGaussianNoise(noiseCase.picture, kNoiseSigma, rng);
        const FlowField field = Fast(previous, current);
        EXPECT_LE(testing::ShareMovingAtLeast(field.x, field.y, 1.0), noiseCase.maxShareMovingOnePixel);
    }
}

TEST(DenseFlow, IdenticalFramesGiveExactlyZero) {
    const cv::Mat pictures[] = {LoadTestPictureGrey(), RandomTexture({33, 17}, 3), Checkerboard({20, 9}, 1),
                                Flat({8, 8}, 200), Flat({1, 1}, 7)};
    for (const cv::Mat& picture : pictures) {
        SCOPED_TRACE(::testing::PrintToString(picture.size()));
        const FlowField field = Fast(picture, picture.clone());
        EXPECT_EQ(cv::countNonZero(field.x != 0), 0);
        EXPECT_EQ(cv::countNonZero(field.y != 0), 0);
    }
}

// Stripes have one gradient direction only: the solve must fall back to the
// motion along it (normal flow) rather than blow up the unknown other component.
TEST(DenseFlow, OneDirectionalPatternGivesNormalFlow) {
    constexpr int kBorder = 8;
    constexpr double kPeriod = 24;  // px
    cv::Mat stripes(120, 160, CV_8UC1);
    for (int x = 0; x < stripes.cols; ++x) {
        stripes.col(x).setTo(cv::saturate_cast<std::uint8_t>(128 + 100 * std::sin(2 * CV_PI * x / kPeriod)));
    }
    const FlowField field = Fast(stripes, WarpByMotion(stripes, ShiftMotion(0.5, 0.5)));
    EXPECT_EQ(cv::countNonZero(field.y != 0), 0);
    const cv::Rect interior(kBorder, kBorder, stripes.cols - 2 * kBorder, stripes.rows - 2 * kBorder);
    cv::Mat errorX;
    cv::absdiff(field.x(interior), cv::Scalar(0.5), errorX);
    EXPECT_LE(cv::mean(errorX)[0], 0.1);
    EXPECT_LE(cv::norm(field.x, cv::NORM_INF), 1.0);
}

TEST(DenseFlow, SameResultWithOneAndTwoThreads) {
    struct RestoreThreadCount {
        const int threads = cv::getNumThreads();
        ~RestoreThreadCount() { cv::setNumThreads(threads); }
    } restoreThreadCount;
    const cv::Mat grey = LoadTestPictureGrey();
    const std::pair<cv::Mat, cv::Mat> pairs[] = {
        {grey, WarpByMotion(grey, ShiftMotion(1.0, 0.5))}, RandomPair({641, 481}, 21), RandomPair({97, 67}, 22)};
    for (const auto& [previous, current] : pairs) {
        SCOPED_TRACE(::testing::PrintToString(previous.size()));
        cv::setNumThreads(1);
        const FlowField single = Fast(previous, current);
        cv::setNumThreads(2);
        ASSERT_EQ(cv::getNumThreads(), 2);  // otherwise the rows would not be split
        const FlowField twoThreads = Fast(previous, current);
        EXPECT_TRUE(BitIdentical(single.x, twoThreads.x));
        EXPECT_TRUE(BitIdentical(single.y, twoThreads.y));
    }
}

// One workspace across changing sizes gives what a fresh one gives; once sized
// for the widest picture it does not grow again, and a repeated size reuses the output.
TEST(DenseFlow, ReusedWorkspaceMatchesFreshOneWithoutResizing) {
    const cv::Size sizes[] = {{641, 481}, {641, 481}, {33, 17}, {1, 1}, {641, 481}, {320, 240}, {320, 240}};
    DenseFlowWorkspace workspace;
    FlowField reused;
    std::size_t resizesAfterFirstCall = 0;
    for (std::size_t index = 0; index < std::size(sizes); ++index) {
        SCOPED_TRACE(::testing::PrintToString(sizes[index]));
        const auto [previous, current] = RandomPair(sizes[index], 30 + index);
        const uchar* outputBefore = reused.x.data;
        ComputeDenseFlow(previous, current, reused.x, reused.y, workspace);
        const FlowField fresh = Fast(previous, current);
        EXPECT_TRUE(BitIdentical(reused.x, fresh.x));
        EXPECT_TRUE(BitIdentical(reused.y, fresh.y));
        if (index == 0) resizesAfterFirstCall = workspace.scratchResizeCount;
        EXPECT_EQ(workspace.scratchResizeCount, resizesAfterFirstCall);
        if (index > 0 && sizes[index] == sizes[index - 1]) {
            EXPECT_EQ(reused.x.data, outputBefore);
        }
    }
}

}  // namespace
}  // namespace torvane
