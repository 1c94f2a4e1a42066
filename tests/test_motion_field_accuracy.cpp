// How well the motion field measures known motion: large translations, a turn,
// a zoom and two regions at once on real and synthetic pictures, noise on both
// frames, a full-HD frame, and small motion against the single-scale field.
// Every figure is judged on the current frame's grid (see motion_scenes.hpp).
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <string>
#include <vector>

#include "dense_flow.hpp"
#include "library_fixture.hpp"
#include "motion_pyramid.hpp"
#include "motion_scenes.hpp"

namespace torvane::testing {
namespace {

// Mean endpoint error over judged pixels, in pixels.
constexpr double kUpToSixPixelsError = 0.15;      // (2, 1), (4, 2), (6.5, 0)
constexpr double kUpToSixteenPixelsError = 0.5;   // (10, 5), (16.5, 0)
constexpr double kEighteenPixelsError = 0.6;      // (18.5, 0)
constexpr double kRotationError = 0.25;           // 1 degree about the centre
constexpr double kZoomError = 0.5;                // 3 % zoom
constexpr double kTwoHalvesError = 0.3;           // away from the seam
constexpr double kFullHdError = 1.0;              // 1920x1080 at (40.5, 0)
constexpr double kNoisyError = 0.3;               // sigma 2 noise on both frames, up to (6.5, 0)
// IsMotion >= 1 where the true speed is >= 1.
constexpr double kTranslationDetection = 0.99;
constexpr double kWarpDetection = 0.97;  // rotation and zoom
// IsMotion equal to the true speed's whole part (speeds up to 6.5, away from whole numbers).
constexpr double kWholePartAgreement = 0.95;
// Small motion: error at most this times the single-scale field's on the same frames.
constexpr double kSmallMotionErrorRatio = 1.1;
// Host readings at small motion: wrong whole parts at most the ratio above times
// the single-scale field's share, plus this much.
constexpr double kSmallMotionReadingSlack = 0.001;

constexpr double kNoiseSigma = 2;
constexpr int kSeamMargin = 16;  // pixels each side of the seam between two motions left out
constexpr double kRotationDegrees = 1;
constexpr double kZoomScale = 1.03;

const cv::Size kFrame(kFrameWidth, kFrameHeight);
const cv::Size kFullHd(1920, 1080);

struct Field {
    cv::Mat x, y;
};

Field MotionField(const MotionScene& scene) {
    Field field;
    MotionFieldWorkspace workspace;
    ComputeMotionField(scene.previous, scene.current, field.x, field.y, workspace);
    return field;
}

Field SingleScaleField(const MotionScene& scene) {
    Field field;
    DenseFlowWorkspace workspace;
    ComputeDenseFlow(scene.previous, scene.current, field.x, field.y, workspace);
    return field;
}

SceneFigures Measure(const MotionScene& scene, const Field& field, const cv::Mat& exclusion = cv::Mat()) {
    return MeasureScene(scene, field.x, field.y, ReadingsOfField(field.x, field.y), exclusion);
}

const cv::Mat& SyntheticFrameCanvas() {
    static const cv::Mat canvas = SyntheticCanvas(cv::Size(760, 560), 7);
    return canvas;
}

// The yardstick itself: the previous frame sampled where the truth says each
// current pixel's content came from gives back the current frame.
TEST(MotionFieldAccuracy, TruthExplainsTheCurrentFrame) {
    constexpr double kMaxMeanGreyDifference = 1.0;  // levels; bilinear resampling of 8-bit frames
    const struct {
        const char* name;
        SourceMap motion;
    } cases[] = {
        {"(6.5, -3)", Translation(6.5, -3)},
        {"rotation", TurnAboutCentre(kFrame, 3)},
        {"zoom", ZoomAboutCentre(kFrame, kZoomScale)},
        {"halves", TwoHalves(kFrame, {6.5, 0}, {-4, 3})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MotionScene scene = MakeScene(SyntheticFrameCanvas(), c.motion);
        cv::Mat previous;
        scene.previous.convertTo(previous, CV_32F);
        double differenceSum = 0;
        long counted = 0;
        for (int y = kJudgedBorder; y < kFrameHeight - kJudgedBorder; ++y) {
            for (int x = kJudgedBorder; x < kFrameWidth - kJudgedBorder; ++x) {
                if (!scene.cameFromInside.at<std::uint8_t>(y, x)) continue;
                const float cameFrom = SampleBilinear(previous, x - scene.truthX.at<float>(y, x), y - scene.truthY.at<float>(y, x));
                differenceSum += std::abs(cameFrom - scene.current.at<std::uint8_t>(y, x));
                ++counted;
            }
        }
        EXPECT_LT(differenceSum / static_cast<double>(counted), kMaxMeanGreyDifference);
    }
}

struct LargeMotionCase {
    std::string name;
    const cv::Mat* canvas;
    SourceMap motion;
    double maxError;
    double minDetection;
};

void CheckLargeMotion(const std::vector<LargeMotionCase>& cases) {
    for (const LargeMotionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const MotionScene scene = MakeScene(*c.canvas, c.motion);
        const SceneFigures figures = Measure(scene, MotionField(scene));
        Report(c.name, figures);
        ASSERT_GT(figures.judged.pixels, 10000) << "too few textured pixels to judge";
        EXPECT_LE(figures.judged.meanEndpointError, c.maxError);
        EXPECT_GE(figures.judged.detected, c.minDetection);
        if (figures.judged.wholePartPixels > 0) EXPECT_GE(figures.judged.wholePart, kWholePartAgreement);
    }
}

TEST(MotionFieldAccuracy, LargeMotionOnTheRealPicture) {
    const cv::Mat& picture = RubberWhaleCanvas();
    CheckLargeMotion({
        {"rubberwhale (6.5, 0)", &picture, Translation(6.5, 0), kUpToSixPixelsError, kTranslationDetection},
        {"rubberwhale (10, 5)", &picture, Translation(10, 5), kUpToSixteenPixelsError, kTranslationDetection},
        {"rubberwhale (16.5, 0)", &picture, Translation(16.5, 0), kUpToSixteenPixelsError, kTranslationDetection},
        {"rubberwhale (18.5, 0)", &picture, Translation(18.5, 0), kEighteenPixelsError, kTranslationDetection},
        {"rubberwhale (-6.5, -3)", &picture, Translation(-6.5, -3), kUpToSixPixelsError, kTranslationDetection},
        {"rubberwhale rotation 1 deg", &picture, TurnAboutCentre(kFrame, kRotationDegrees), kRotationError,
         kWarpDetection},
        {"rubberwhale zoom 3 %", &picture, ZoomAboutCentre(kFrame, kZoomScale), kZoomError, kWarpDetection},
    });
}

// Not met yet, kept at the limits the field is meant to reach: the fine knitted
// fabric at the picture's right edge aliases on the coarse levels, which send
// about 2 % of its pixels 3-8 px astray (mean error about 0.20 px).
TEST(MotionFieldAccuracy, DISABLED_SmallTranslationsOverFineRepeatingTexture) {
    const cv::Mat& picture = RubberWhaleCanvas();
    CheckLargeMotion({
        {"rubberwhale (2, 1)", &picture, Translation(2, 1), kUpToSixPixelsError, kTranslationDetection},
        {"rubberwhale (4, 2)", &picture, Translation(4, 2), kUpToSixPixelsError, kTranslationDetection},
    });
}

// The same limits on pictures the field was not tuned on.
TEST(MotionFieldAccuracy, LargeMotionOnOtherPictures) {
    if (kUnderSanitizers) GTEST_SKIP() << "the real picture's cases cover the sanitizer build";
    const cv::Mat& home = HomeCanvas();
    const cv::Mat& synthetic = SyntheticFrameCanvas();
    CheckLargeMotion({
        {"home (2, 1)", &home, Translation(2, 1), kUpToSixPixelsError, kTranslationDetection},
        {"home (6.5, 0)", &home, Translation(6.5, 0), kUpToSixPixelsError, kTranslationDetection},
        {"home (10, 5)", &home, Translation(10, 5), kUpToSixteenPixelsError, kTranslationDetection},
        {"home rotation 1 deg", &home, TurnAboutCentre(kFrame, kRotationDegrees), kRotationError, kWarpDetection},
        {"home zoom 3 %", &home, ZoomAboutCentre(kFrame, kZoomScale), kZoomError, kWarpDetection},
        {"synthetic (4, 2)", &synthetic, Translation(4, 2), kUpToSixPixelsError, kTranslationDetection},
        {"synthetic (16.5, 0)", &synthetic, Translation(16.5, 0), kUpToSixteenPixelsError, kTranslationDetection},
        {"synthetic (0, -18.5)", &synthetic, Translation(0, -18.5), kEighteenPixelsError, kTranslationDetection},
        {"synthetic rotation 1 deg", &synthetic, TurnAboutCentre(kFrame, kRotationDegrees), kRotationError,
         kWarpDetection},
    });
}

// Not met yet: at 18.5 px the sky-and-building picture loses about 6 % of its
// textured pixels (mean error about 3 px).
TEST(MotionFieldAccuracy, DISABLED_EighteenPixelsOnAnotherPicture) {
    CheckLargeMotion({
        {"home (18.5, 0)", &HomeCanvas(), Translation(18.5, 0), kEighteenPixelsError, kTranslationDetection},
    });
}

TEST(MotionFieldAccuracy, TwoRegionsMovingApart) {
    for (const cv::Mat* canvas : {&RubberWhaleCanvas(), &SyntheticFrameCanvas()}) {
        const bool real = canvas == &RubberWhaleCanvas();
        SCOPED_TRACE(real ? "rubberwhale" : "synthetic");
        const MotionScene scene = MakeScene(*canvas, TwoHalves(kFrame, {6.5, 0}, {-4, 3}));
        cv::Mat nearSeam(kFrame, CV_8U, cv::Scalar(0));
        nearSeam.colRange(kFrameWidth / 2 - kSeamMargin, kFrameWidth / 2 + kSeamMargin).setTo(1);
        const Field field = MotionField(scene);
        const SceneFigures figures = Measure(scene, field, nearSeam);
        Report(std::string(real ? "rubberwhale" : "synthetic") + " halves (6.5, 0) | (-4, 3), seam +-16 px out", figures);
        ASSERT_GT(figures.judged.pixels, 10000);
        EXPECT_LE(figures.judged.meanEndpointError, kTwoHalvesError);
        EXPECT_GE(figures.judged.detected, kTranslationDetection);
        EXPECT_GE(figures.judged.wholePart, kWholePartAgreement);
    }
}

struct NoisyCase {
    const char* name;
    const cv::Mat* canvas;
    double dx, dy;
};

void CheckNoisyMotion(const std::vector<NoisyCase>& cases) {
    for (const NoisyCase& c : cases) {
        SCOPED_TRACE(c.name);
        FrameOptions noisy;
        noisy.noiseSigma = kNoiseSigma;
        noisy.noiseSeed = 11;
        const MotionScene scene = MakeScene(*c.canvas, Translation(c.dx, c.dy), noisy);
        const SceneFigures figures = Measure(scene, MotionField(scene));
        Report(c.name, figures);
        EXPECT_LE(figures.judged.meanEndpointError, kNoisyError);
    }
}

TEST(MotionFieldAccuracy, NoiseOnBothFrames) {
    CheckNoisyMotion({
        {"rubberwhale (6.5, 0) noisy", &RubberWhaleCanvas(), 6.5, 0},
        {"home (6.5, 0) noisy", &HomeCanvas(), 6.5, 0},
    });
}

// Not met yet: the same fine texture as above (mean errors about 0.31 and 0.35 px).
TEST(MotionFieldAccuracy, DISABLED_NoiseOnBothFramesOverFineRepeatingTexture) {
    CheckNoisyMotion({
        {"rubberwhale (2, 1) noisy", &RubberWhaleCanvas(), 2, 1},
        {"rubberwhale (4, 2) noisy", &RubberWhaleCanvas(), 4, 2},
    });
}

const cv::Mat& RubberWhaleFullHdCanvas() {
    static const cv::Mat canvas = LoadGreyFloat("rubberwhale1.png", kRubberWhaleScale * 3);
    return canvas;
}

TEST(MotionFieldAccuracy, FullHdFortyPixels) {
    const MotionScene scene = MakeScene(RubberWhaleFullHdCanvas(), kFullHd, Translation(40.5, 0));
    const SceneFigures figures = Measure(scene, MotionField(scene));
    Report("rubberwhale x3 1920x1080 (40.5, 0)", figures);
    ASSERT_GT(figures.judged.pixels, 10000);
    EXPECT_LE(figures.judged.meanEndpointError, kFullHdError);
    EXPECT_GE(figures.judged.detected, kTranslationDetection);
}

TEST(MotionFieldAccuracy, FullHdFortyPixelsOnSyntheticScene) {
    if (kUnderSanitizers) GTEST_SKIP() << "the real picture's case covers the sanitizer build";
    const MotionScene scene = MakeScene(SyntheticCanvas(cv::Size(2040, 1140), 5), kFullHd, Translation(-40.5, 0));
    const SceneFigures figures = Measure(scene, MotionField(scene));
    Report("synthetic 1920x1080 (-40.5, 0)", figures);
    ASSERT_GT(figures.judged.pixels, 10000);
    EXPECT_LE(figures.judged.meanEndpointError, kFullHdError);
    EXPECT_GE(figures.judged.detected, kTranslationDetection);
}

TEST(MotionFieldAccuracy, SmallMotionAtLeastAsPreciseAsTheSingleScaleField) {
    const struct {
        const char* name;
        const cv::Mat* canvas;
        double dx, dy;
    } cases[] = {
        {"rubberwhale (0.25, 0)", &RubberWhaleCanvas(), 0.25, 0},
        {"rubberwhale (0.5, 0.5)", &RubberWhaleCanvas(), 0.5, 0.5},
        {"rubberwhale (1, 0)", &RubberWhaleCanvas(), 1, 0},
        {"home (0.25, 0)", &HomeCanvas(), 0.25, 0},
        {"home (0.5, 0.5)", &HomeCanvas(), 0.5, 0.5},
        {"home (1, 0)", &HomeCanvas(), 1, 0},
        {"synthetic (0.5, 0.5)", &SyntheticFrameCanvas(), 0.5, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MotionScene scene = MakeScene(*c.canvas, Translation(c.dx, c.dy));
        const SceneFigures field = Measure(scene, MotionField(scene));
        const SceneFigures singleScale = Measure(scene, SingleScaleField(scene));
        Report(std::string(c.name) + " small | single scale: " + Describe(singleScale.judged), field);
        EXPECT_LE(field.judged.meanEndpointError, kSmallMotionErrorRatio * singleScale.judged.meanEndpointError);
    }
}

class MotionFieldThroughHost : public LibraryTest {};

TEST_F(MotionFieldThroughHost, LargeMotionReadsItsWholePart) {
    const struct {
        const char* name;
        SourceMap motion;
    } cases[] = {
        {"host rubberwhale (6.5, 0)", Translation(6.5, 0)},
        {"host rubberwhale rotation 1 deg", TurnAboutCentre(kFrame, kRotationDegrees)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MotionScene scene = MakeScene(RubberWhaleCanvas(), c.motion);
        cv::Mat readings;
        ASSERT_NO_FATAL_FAILURE(ReadThroughHost(scene.previous, scene.current, readings));
        const SceneFigures figures = MeasureScene(scene, cv::Mat(), cv::Mat(), readings);
        Report(c.name, figures);
        EXPECT_GE(figures.judged.detected, kWarpDetection);
        EXPECT_GE(figures.judged.wholePart, kWholePartAgreement);
    }
}

TEST_F(MotionFieldThroughHost, FullHdFortyPixelsDetected) {
    if (kUnderSanitizers) GTEST_SKIP() << "the internal full-HD case covers the sanitizer build";
    const MotionScene scene = MakeScene(RubberWhaleFullHdCanvas(), kFullHd, Translation(40.5, 0));
    cv::Mat readings;
    ASSERT_NO_FATAL_FAILURE(ReadThroughHost(scene.previous, scene.current, readings));
    const SceneFigures figures = MeasureScene(scene, cv::Mat(), cv::Mat(), readings);
    Report("host rubberwhale x3 1920x1080 (40.5, 0)", figures);
    EXPECT_GE(figures.judged.detected, kTranslationDetection);
    const cv::Mat judged = TexturedMask(scene.currentWithoutNoise) & scene.cameFromInside;
    const cv::Mat nearTruth = (readings >= 39) & (readings <= 41) & judged;
    Report("host rubberwhale x3 1920x1080 (40.5, 0): reading 39-41 on " +
           Percent(static_cast<double>(cv::countNonZero(nearTruth)) / cv::countNonZero(judged), 2) + " of judged pixels");
}

// Small motion as the host reads it: wrong whole parts no more often than the
// single-scale field would give.
TEST_F(MotionFieldThroughHost, SmallMotionReadsNoWorseThanTheSingleScaleField) {
    for (const cv::Point2d shift : {cv::Point2d(0.5, 0.5), cv::Point2d(0.25, 0)}) {
        SCOPED_TRACE(shift);
        const MotionScene scene = MakeScene(RubberWhaleCanvas(), Translation(shift.x, shift.y));
        cv::Mat readings;
        ASSERT_NO_FATAL_FAILURE(ReadThroughHost(scene.previous, scene.current, readings));
        const SceneFigures host = MeasureScene(scene, cv::Mat(), cv::Mat(), readings);
        const Field single = SingleScaleField(scene);
        const SceneFigures singleScale = MeasureScene(scene, single.x, single.y, ReadingsOfField(single.x, single.y));
        std::ostringstream name;
        name << "host rubberwhale " << shift << " wrong whole part " << Percent(1 - host.judged.wholePart)
             << " single scale " << Percent(1 - singleScale.judged.wholePart);
        Report(name.str());
        EXPECT_LE(1 - host.judged.wholePart,
                  kSmallMotionErrorRatio * (1 - singleScale.judged.wholePart) + kSmallMotionReadingSlack);
    }
}

}  // namespace
}  // namespace torvane::testing
