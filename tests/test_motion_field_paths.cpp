// The fast motion field against its plain per-pixel reference, the same answer
// whatever the thread count or the workspace's history, and a finite answer on
// any input at any size and level count.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "library_fixture.hpp"
#include "motion_pyramid.hpp"
#include "motion_scenes.hpp"

namespace torvane::testing {
namespace {

// Fast against reference: endpoint distance between the two fields, in pixels.
constexpr double kMeanDifferenceVsReference = 1e-4;
constexpr double kP999DifferenceVsReference = 1e-3;
constexpr double kDifferencePercentile = 0.999;

struct Field {
    cv::Mat x, y;
};

struct FramePair {
    std::string name;
    cv::Mat previous, current;
};

bool BitIdentical(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    for (int y = 0; y < a.rows; ++y) {
        if (std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0) return false;
    }
    return true;
}

bool BitIdentical(const Field& a, const Field& b) { return BitIdentical(a.x, b.x) && BitIdentical(a.y, b.y); }

Field Fast(const cv::Mat& previous, const cv::Mat& current, bool useWideSimd = true, int levelCount = 0) {
    Field field;
    MotionFieldWorkspace workspace;
    workspace.useWideSimd = useWideSimd;
    ComputeMotionField(previous, current, field.x, field.y, workspace, levelCount);
    return field;
}

Field Reference(const cv::Mat& previous, const cv::Mat& current, int levelCount = 0) {
    Field field;
    ComputeMotionFieldReference(previous, current, field.x, field.y, levelCount);
    return field;
}

cv::Mat UniformNoise(cv::Size size, std::uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat noise(size, CV_8U);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    return noise;
}

cv::Mat Checkerboard(cv::Size size, int square, bool inverted = false) {
    cv::Mat board(size, CV_8U);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) board.at<std::uint8_t>(y, x) = (((x / square + y / square) % 2) != inverted) ? 255 : 0;
    }
    return board;
}

// A smooth random picture moved by a known shift, cut from a canvas of its own.
FramePair MovedTexture(cv::Size size, cv::Point2d shift, std::uint64_t seed) {
    const cv::Mat canvas = SyntheticCanvas(size + cv::Size(64, 64), seed);
    const MotionScene scene = MakeScene(canvas, size, Translation(shift.x, shift.y));
    std::ostringstream name;
    name << "synthetic " << size << " moved " << shift;
    return {name.str(), scene.previous, scene.current};
}

// Real and random pairs at the odd and tiny sizes and at the frame size.
std::vector<FramePair> ComparisonPairs() {
    std::vector<FramePair> pairs;
    FrameOptions lit;
    lit.noiseSigma = 2;
    lit.lighting = [](cv::Mat&, cv::Mat& current) { current = current * 1.05 + 4; };
    const MotionScene whale = MakeScene(RubberWhaleCanvas(), Translation(6.5, -2), lit);
    pairs.push_back({"rubberwhale (6.5, -2), gain 1.05 +4, noise", whale.previous, whale.current});
    const MotionScene home = MakeScene(HomeCanvas(), TurnAboutCentre(cv::Size(kFrameWidth, kFrameHeight), 1.0));
    pairs.push_back({"home rotation 1 deg", home.previous, home.current});
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 3), cv::Size(7, 5), cv::Size(33, 17), cv::Size(641, 481)}) {
        std::ostringstream name;
        name << "uniform noise " << size;
        pairs.push_back({name.str(), UniformNoise(size, 1), UniformNoise(size, 2)});
        if (size.width > 2) pairs.push_back(MovedTexture(size, {2.5, 1.25}, 9));
    }
    pairs.push_back(MovedTexture(cv::Size(641, 481), {11.5, -3}, 10));
    return pairs;
}

struct Difference {
    double mean = 0, percentile = 0;
};

Difference DifferenceOf(const Field& a, const Field& b) {
    std::vector<double> distances;
    distances.reserve(a.x.total());
    double sum = 0;
    for (int y = 0; y < a.x.rows; ++y) {
        for (int x = 0; x < a.x.cols; ++x) {
            const double d = std::hypot(static_cast<double>(a.x.at<float>(y, x)) - b.x.at<float>(y, x),
                                        static_cast<double>(a.y.at<float>(y, x)) - b.y.at<float>(y, x));
            distances.push_back(d);
            sum += d;
        }
    }
    const auto rank = static_cast<std::ptrdiff_t>(kDifferencePercentile * static_cast<double>(distances.size() - 1));
    std::nth_element(distances.begin(), distances.begin() + rank, distances.end());
    return {sum / static_cast<double>(distances.size()), distances[static_cast<std::size_t>(rank)]};
}

TEST(MotionFieldPaths, FastFieldFollowsTheReference) {
    for (const FramePair& pair : ComparisonPairs()) {
        SCOPED_TRACE(pair.name);
        const Field reference = Reference(pair.previous, pair.current);
        ASSERT_TRUE(cv::checkRange(reference.x) && cv::checkRange(reference.y));
        for (const bool wide : {true, false}) {
            SCOPED_TRACE(wide ? "wide SIMD" : "baseline");
            const Field fast = Fast(pair.previous, pair.current, wide);
            ASSERT_EQ(fast.x.size(), pair.current.size());
            ASSERT_EQ(fast.x.type(), CV_32FC1);
            ASSERT_EQ(fast.y.size(), pair.current.size());
            const Difference difference = DifferenceOf(fast, reference);
            std::ostringstream line;
            line << "fast (" << (wide ? "wide" : "baseline") << ") vs reference, " << pair.name << ": mean "
                 << difference.mean << " px, p99.9 " << difference.percentile << " px";
            Report(line.str());
            EXPECT_LE(difference.mean, kMeanDifferenceVsReference);
            EXPECT_LE(difference.percentile, kP999DifferenceVsReference);
        }
    }
}

TEST(MotionFieldPaths, EveryLevelCountFollowsTheReference) {
    const FramePair pair = MovedTexture(cv::Size(kFrameWidth, kFrameHeight), {9.5, 4}, 12);
    const int levels = MotionLevelCount(kFrameWidth, kFrameHeight);
    for (int count = 1; count <= levels; ++count) {
        if (kUnderSanitizers && count != 1 && count != levels) continue;
        SCOPED_TRACE(count);
        const Difference difference = DifferenceOf(Fast(pair.previous, pair.current, true, count),
                                                   Reference(pair.previous, pair.current, count));
        EXPECT_LE(difference.mean, kMeanDifferenceVsReference);
        EXPECT_LE(difference.percentile, kP999DifferenceVsReference);
    }
}

class ThreadCount {
public:
    explicit ThreadCount(int threads) : saved_(cv::getNumThreads()) { cv::setNumThreads(threads); }
    ~ThreadCount() { cv::setNumThreads(saved_); }

private:
    int saved_;
};

TEST(MotionFieldPaths, SameAnswerWithOneAndTwoThreads) {
    const MotionScene whale = MakeScene(RubberWhaleCanvas(), Translation(6.5, 2));
    const FramePair pairs[] = {
        {"rubberwhale (6.5, 2)", whale.previous, whale.current},
        MovedTexture(cv::Size(641, 481), {-12, 3.5}, 4),
    };
    for (const FramePair& pair : pairs) {
        SCOPED_TRACE(pair.name);
        for (const bool wide : {true, false}) {
            Field oneThread, twoThreads;
            {
                ThreadCount threads(1);
                oneThread = Fast(pair.previous, pair.current, wide);
            }
            {
                ThreadCount threads(2);
                twoThreads = Fast(pair.previous, pair.current, wide);
            }
            EXPECT_TRUE(BitIdentical(oneThread, twoThreads)) << (wide ? "wide SIMD" : "baseline");
        }
    }
}

TEST(MotionFieldPaths, ReusedWorkspaceGivesTheFreshAnswer) {
    // Three frames of a picture moving (4, 2) per frame, cut from one canvas.
    cv::Mat canvas;
    RubberWhaleCanvas().convertTo(canvas, CV_8U);
    const auto cut = [&](int step) {
        return canvas(cv::Rect(cv::Point(40 - 4 * step, 4 - 2 * step), cv::Size(kFrameWidth, kFrameHeight))).clone();
    };
    const cv::Mat frameA = cut(0), frameB = cut(1), frameC = cut(2);

    const Field fresh = Fast(frameB, frameC);
    MotionFieldWorkspace workspace;
    Field field;
    // History: another size, another level count, then the frame before.
    const cv::Mat small = UniformNoise(cv::Size(33, 17), 3);
    ComputeMotionField(small, UniformNoise(cv::Size(33, 17), 4), field.x, field.y, workspace);
    ComputeMotionField(frameA, frameB, field.x, field.y, workspace, 2);
    ComputeMotionField(frameA, frameB, field.x, field.y, workspace);
    ComputeMotionField(frameB, frameC, field.x, field.y, workspace, 0, true);
    EXPECT_TRUE(BitIdentical(field, fresh)) << "previous pyramid kept from the last call";
    ComputeMotionField(frameB, frameC, field.x, field.y, workspace);
    EXPECT_TRUE(BitIdentical(field, fresh)) << "pyramid rebuilt in a used workspace";
}

TEST(MotionFieldPaths, TinyFramesHaveOneLevel) {
    EXPECT_EQ(MotionLevelCount(1, 1), 1);
    EXPECT_EQ(MotionLevelCount(5, 3), 1);
    EXPECT_EQ(MotionLevelCount(33, 17), 1);
    // A count beyond what the size allows gives the answer of the count it allows.
    const cv::Mat previous = UniformNoise(cv::Size(33, 17), 5), current = UniformNoise(cv::Size(33, 17), 6);
    EXPECT_TRUE(BitIdentical(Fast(previous, current, true, kMaxMotionLevels), Fast(previous, current, true, 1)));
    const FramePair frame = MovedTexture(cv::Size(kFrameWidth, kFrameHeight), {3, 1}, 8);
    const int levels = MotionLevelCount(kFrameWidth, kFrameHeight);
    EXPECT_TRUE(BitIdentical(Fast(frame.previous, frame.current, true, kMaxMotionLevels),
                             Fast(frame.previous, frame.current, true, levels)));
}

// Extreme pictures of one size, in pairs that are hard for any method.
std::vector<FramePair> ExtremePairs(cv::Size size) {
    const cv::Mat black(size, CV_8U, cv::Scalar(0)), white(size, CV_8U, cv::Scalar(255));
    return {
        {"black, black", black, black},
        {"black, white", black, white},
        {"white, black", white, black},
        {"checkerboard 1, inverted", Checkerboard(size, 1), Checkerboard(size, 1, true)},
        {"checkerboard 8, inverted", Checkerboard(size, 8), Checkerboard(size, 8, true)},
        {"checkerboard 1, white", Checkerboard(size, 1), white},
        {"black, checkerboard 3", black, Checkerboard(size, 3)},
        {"noise, noise", UniformNoise(size, 1), UniformNoise(size, 2)},
        {"noise, black", UniformNoise(size, 3), black},
        {"white, noise", white, UniformNoise(size, 4)},
    };
}

bool Finite(const Field& field) { return cv::checkRange(field.x) && cv::checkRange(field.y); }

TEST(MotionFieldPaths, FiniteOnAnyInputAtEverySizeAndLevelCount) {
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 3), cv::Size(7, 5), cv::Size(33, 17), cv::Size(641, 481)}) {
        const int levels = MotionLevelCount(size.width, size.height);
        const bool large = size.area() > 100000;
        for (const FramePair& pair : ExtremePairs(size)) {
            // Under the sanitizers the large frame keeps a few of the pairs: both paths, every count.
            if (kUnderSanitizers && large && pair.name != "black, white" && pair.name != "checkerboard 1, inverted" &&
                pair.name != "noise, noise") {
                continue;
            }
            SCOPED_TRACE(::testing::Message() << size << " " << pair.name);
            for (int count = 0; count <= levels; ++count) {
                SCOPED_TRACE(count);
                for (const bool wide : {true, false}) {
                    const Field fast = Fast(pair.previous, pair.current, wide, count);
                    ASSERT_EQ(fast.x.size(), size);
                    ASSERT_EQ(fast.y.size(), size);
                    EXPECT_TRUE(Finite(fast)) << (wide ? "wide SIMD" : "baseline");
                }
                // The reference at the largest size only with the automatic count: it is slow.
                if (!large || (count == 0 && !kUnderSanitizers)) {
                    EXPECT_TRUE(Finite(Reference(pair.previous, pair.current, count))) << "reference";
                }
            }
            // A picture without texture changing brightness as a whole is still.
            if (pair.name == "black, white" || pair.name == "white, black") {
                const Field field = Fast(pair.previous, pair.current);
                EXPECT_EQ(cv::countNonZero(field.x) + cv::countNonZero(field.y), 0);
            }
        }
    }
}

class MotionFieldPathsThroughHost : public LibraryTest {};

// Odd and tiny frames of extreme content through the camera: every update
// succeeds, every pixel reads a whole number, and flat frames read still.
TEST_F(MotionFieldPathsThroughHost, OddAndTinyFramesOfExtremeContent) {
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 3), cv::Size(7, 5), cv::Size(33, 17), cv::Size(641, 481)}) {
        SCOPED_TRACE(size);
        const cv::Mat black(size, CV_8U, cv::Scalar(0)), white(size, CV_8U, cv::Scalar(255));
        std::vector<cv::Mat> frames;
        for (const cv::Mat& grey : {black, black, white, Checkerboard(size, 1), Checkerboard(size, 1, true),
                                    UniformNoise(size, 1), black, UniformNoise(size, 2), white, black}) {
            frames.push_back(AsCameraFrame(grey));
        }
        ScriptedCamera camera(frames);
        ASSERT_EQ(InitCam(), 1.0);
        SetMode(0);
        for (std::size_t update = 1; update < frames.size(); ++update) {
            SCOPED_TRACE(update);
            ASSERT_EQ(UpdateFrame(), 1.0);
            const bool flatPair = update == 2 || update == 9;  // black to white, white to black
            long moving = 0;
            for (int y = 0; y < size.height; ++y) {
                for (int x = 0; x < size.width; ++x) {
                    const double reading = IsMotion(x, y);
                    ASSERT_TRUE(reading >= 0 && reading == std::floor(reading)) << x << ", " << y << ": " << reading;
                    moving += reading != 0;
                }
            }
            if (flatPair) EXPECT_EQ(moving, 0) << "a flat frame changing brightness";
        }
        UnloadCam();
    }
}

}  // namespace
}  // namespace torvane::testing
