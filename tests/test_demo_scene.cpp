// The library's answers over the demo's synthetic scene, compared with the
// scene's own ground truth: the scene itself first (everything else leans on
// it), then the motion field against the shape masks and tracked background
// points against the known drift.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "library_fixture.hpp"
#include "scripted_camera.hpp"
#include "synthetic_scene.hpp"

namespace torvane::testing {
namespace {

using demo::SyntheticScene;

// The scene shifted by whole pixels: frame(x, y) = picture(x - dx, y - dy), 0 outside.
cv::Mat ShiftedBy(const cv::Mat& picture, cv::Point shift) {
    cv::Mat shifted;
    cv::warpAffine(picture, shifted, cv::Matx23d(1, 0, shift.x, 0, 1, shift.y), picture.size(), cv::INTER_NEAREST,
                   cv::BORDER_CONSTANT, cv::Scalar::all(0));
    return shifted;
}

cv::Mat Dilated(const cv::Mat& mask, int radius) {
    cv::Mat grown;
    cv::dilate(mask, grown, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * radius + 1, 2 * radius + 1)));
    return grown;
}

TEST(SyntheticScene, BackgroundMovesByTheStatedDriftAndShapesSitInTheirMasks) {
    const SyntheticScene scene;
    // After 25 frames the drift is a whole (8, 6) pixels, so no interpolation blurs the comparison.
    constexpr long Later = 25;
    const cv::Point wholeShift(8, 6);
    ASSERT_NEAR(SyntheticScene::BackgroundOffset(Later).x, wholeShift.x, 1e-9);
    ASSERT_NEAR(SyntheticScene::BackgroundOffset(Later).y, wholeShift.y, 1e-9);

    const cv::Mat first = scene.Render(0), later = scene.Render(Later);
    ASSERT_EQ(first.size(), scene.size());
    ASSERT_EQ(first.type(), CV_8UC3);
    // Another scene with the same options draws the same pictures: demo runs can be compared.
    EXPECT_EQ(cv::norm(SyntheticScene().Render(Later), later, cv::NORM_INF), 0.0);

    // Background: wherever neither frame shows a shape (2 px of soft edge
    // allowed), the later frame is the first one moved by the drift.
    cv::Mat background = ~Dilated(ShiftedBy(scene.ShapesMask(0), wholeShift) | scene.ShapesMask(Later), 2);
    background(cv::Rect(0, 0, scene.size().width, wholeShift.y)).setTo(0);  // uncovered by the shift
    background(cv::Rect(0, 0, wholeShift.x, scene.size().height)).setTo(0);
    ASSERT_GT(cv::countNonZero(background), scene.size().area() / 2);
    cv::Mat difference;
    cv::absdiff(ShiftedBy(first, wholeShift), later, difference);
    EXPECT_EQ(cv::norm(difference, cv::NORM_INF, background.clone()), 0.0);
    // The same comparison one pixel off must fail: the test can see a wrong drift.
    cv::absdiff(ShiftedBy(first, wholeShift + cv::Point(1, 0)), later, difference);
    EXPECT_GT(cv::mean(difference, background)[0], 2.0);

    // Shapes: each mask covers a picture of that shape's colour, and moves by its velocity.
    for (int i = 0; i < static_cast<int>(scene.shapes().size()); ++i) {
        const SyntheticScene::Shape& shape = scene.shapes()[static_cast<size_t>(i)];
        SCOPED_TRACE(shape.name);
        const cv::Mat mask = scene.ShapeMask(i, Later);
        cv::Mat core;
        cv::erode(mask, core, cv::Mat(), cv::Point(-1, -1), 2);
        if (cv::countNonZero(core) < 200) continue;  // off the picture in this frame
        const cv::Scalar meanColor = cv::mean(later, core);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(meanColor[c], shape.color[c], 25.0) << "channel " << c;
        // Texture: the shaded disc has hardly any detail, the others plenty.
        cv::Mat gray, gradientX, gradientY, magnitude;
        cv::cvtColor(later, gray, cv::COLOR_BGR2GRAY);
        cv::Sobel(gray, gradientX, CV_32F, 1, 0, 3, 1.0 / 8.0);
        cv::Sobel(gray, gradientY, CV_32F, 0, 1, 3, 1.0 / 8.0);
        cv::magnitude(gradientX, gradientY, magnitude);
        const double meanGradient = cv::mean(magnitude, core)[0];
        if (shape.weaklyTextured) {
            EXPECT_LT(meanGradient, 2.5) << "grey levels per pixel";
        } else {
            EXPECT_GT(meanGradient, 6.0) << "grey levels per pixel";
        }
        // A binary mask's centroid moves in whole-pixel jumps: compare over ten frames.
        constexpr long Span = 10;
        const cv::Point2d travel = scene.ShapeCorner(i, Later + Span) - scene.ShapeCorner(i, Later);
        if (cv::norm(travel - shape.velocity * static_cast<double>(Span)) < 1e-6) {  // not wrapping round the picture
            const cv::Moments now = cv::moments(mask, true);
            const cv::Moments then = cv::moments(scene.ShapeMask(i, Later + Span), true);
            EXPECT_NEAR(then.m10 / then.m00 - now.m10 / now.m00, travel.x, 0.6);
            EXPECT_NEAR(then.m01 / then.m00 - now.m01 / now.m00, travel.y, 0.6);
        }
    }
    // Slow to fast, as a hand moves in front of a webcam; one shape without texture.
    std::vector<double> speeds;
    int weaklyTextured = 0;
    for (int i = 0; i < static_cast<int>(scene.shapes().size()); ++i) {
        speeds.push_back(scene.Speed(i));
        weaklyTextured += scene.shapes()[static_cast<size_t>(i)].weaklyTextured ? 1 : 0;
    }
    EXPECT_LE(*std::min_element(speeds.begin(), speeds.end()), 2.0);
    EXPECT_GE(*std::max_element(speeds.begin(), speeds.end()), 12.0);
    EXPECT_EQ(weaklyTextured, 1);
}

// Exposure steps: the whole picture, every channel, moves by the stated grey
// levels, and only on the frames the scene names as steps.
TEST(SyntheticScene, ExposureStepsBrightenOrDarkenTheWholePictureOnTheNamedFrames) {
    SyntheticScene::Options stepping;
    stepping.exposureSteps = true;
    const SyntheticScene steady, stepped(stepping);
    long steps = 0;
    constexpr long Frames = 200;
    for (long index = 1; index <= Frames; ++index) {
        EXPECT_EQ(steady.ExposureOffset(index), 0);
        EXPECT_FALSE(steady.IsExposureStep(index));
        if (!stepped.IsExposureStep(index)) {
            EXPECT_EQ(stepped.ExposureOffset(index), stepped.ExposureOffset(index - 1)) << "frame " << index;
            continue;
        }
        ++steps;
        EXPECT_EQ(std::abs(stepped.ExposureOffset(index) - stepped.ExposureOffset(index - 1)),
                  SyntheticScene::ExposureStepLevels)
            << "frame " << index;
    }
    // About one step every 40 frames.
    EXPECT_GE(steps, Frames / 50);
    EXPECT_LE(steps, Frames / 30);

    // The pictures themselves: the same scene, offset by the named levels
    // wherever the sensor does not clip, brighter and darker frames among them.
    bool brighter = false, darker = false;
    for (const long index : {9L, 10L, 11L, 49L, 90L, 131L}) {
        SCOPED_TRACE("frame " + std::to_string(index));
        cv::Mat plain, offset, difference;
        steady.Render(index).convertTo(plain, CV_16SC3);
        stepped.Render(index).convertTo(offset, CV_16SC3);
        cv::subtract(offset, plain, difference);
        const int levels = stepped.ExposureOffset(index);
        brighter |= levels > 0;
        darker |= levels < 0;
        cv::Mat unclipped;
        cv::inRange(plain, cv::Scalar::all(6), cv::Scalar::all(249), unclipped);
        ASSERT_GT(cv::countNonZero(unclipped), static_cast<int>(plain.total() * 9 / 10));
        std::vector<cv::Mat> channels;
        cv::split(difference, channels);
        for (const cv::Mat& channel : channels) {
            double lowest = 0, highest = 0;
            cv::minMaxLoc(channel, &lowest, &highest, nullptr, nullptr, unclipped);
            EXPECT_EQ(lowest, levels);
            EXPECT_EQ(highest, levels);
        }
    }
    EXPECT_TRUE(brighter && darker);
}

// The motion truth agrees with the pictures: what a pixel shows now, the
// previous frame showed where the truth says it came from; and pixels it
// cannot judge are left out (out of view one frame ago, or near an outline).
TEST(SyntheticScene, TruthOfMotionAgreesWithThePictures) {
    const SyntheticScene scene;
    constexpr int Band = 4;
    const cv::Size size = scene.size();
    // The previous frame sampled at p - shift, as 16-bit grey.
    auto cameFrom = [&](const cv::Mat& previous, const cv::Mat& labels, cv::Point2d backgroundShift,
                        cv::Point2d shapeNudge) {
        cv::Mat mapX(size, CV_32FC1), mapY(size, CV_32FC1);
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const int shape = labels.at<int>(y, x);
                const cv::Point2d shift =
                    shape >= 0 ? scene.shapes()[static_cast<size_t>(shape)].velocity + shapeNudge : backgroundShift;
                mapX.at<float>(y, x) = static_cast<float>(x - shift.x);
                mapY.at<float>(y, x) = static_cast<float>(y - shift.y);
            }
        }
        cv::Mat sampled;
        cv::remap(previous, sampled, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        return sampled;
    };
    const cv::Point2d drift(SyntheticScene::DriftX, SyntheticScene::DriftY);
    long shapePixels = 0;
    for (const long index : {5L, 31L, 49L, 120L}) {
        SCOPED_TRACE("frame " + std::to_string(index));
        const SyntheticScene::MotionTruth truth = scene.TruthOfMotion(index, Band);
        cv::Mat now, previous;
        cv::cvtColor(scene.Render(index), now, cv::COLOR_BGR2GRAY);
        cv::cvtColor(scene.Render(index - 1), previous, cv::COLOR_BGR2GRAY);
        cv::Mat difference;
        cv::absdiff(now, cameFrom(previous, truth.shape, drift, {0, 0}), difference);
        const cv::Mat judgedShapes = truth.shape >= 0;
        ASSERT_GT(cv::countNonZero(judgedShapes), 10000);
        ASSERT_GT(cv::countNonZero(truth.background), size.area() / 2);
        shapePixels += cv::countNonZero(judgedShapes);
        EXPECT_LT(cv::mean(difference, judgedShapes)[0], 2.0);
        // Content that was out of view or hidden one frame ago shows as pixels far off.
        EXPECT_LE(cv::countNonZero(judgedShapes & (difference > 12)), cv::countNonZero(judgedShapes) / 200);
        EXPECT_LT(cv::mean(difference, truth.background)[0], 2.0);
        // A nudge of 2 px is visible on the textured shapes: the check above has teeth.
        cv::Mat textured = cv::Mat::zeros(size, CV_8UC1);
        for (int i = 0; i < static_cast<int>(scene.shapes().size()); ++i) {
            if (!scene.shapes()[static_cast<size_t>(i)].weaklyTextured) textured |= truth.shape == i;
        }
        cv::absdiff(now, cameFrom(previous, truth.shape, drift, {2, 0}), difference);
        EXPECT_GT(cv::mean(difference, textured)[0], 6.0);
        // Judged pixels lie inside a shape, never on the background's side.
        EXPECT_EQ(cv::countNonZero(judgedShapes & truth.background), 0);
        EXPECT_EQ(cv::countNonZero(judgedShapes & ~scene.ShapesMask(index)), 0);
    }
    EXPECT_GT(shapePixels, 3 * 20000);
}

// How a run over the synthetic scene is set up: the host's mirror, and the
// scene's exposure steps.
struct SceneRun {
    bool mirrored;
    bool exposureSteps;
};

std::string SceneRunName(const ::testing::TestParamInfo<SceneRun>& info) {
    return std::string(info.param.mirrored ? "Mirrored" : "Upright") +
           (info.param.exposureSteps ? "WithExposureSteps" : "SteadyExposure");
}

SyntheticScene::Options SceneOptions(const SceneRun& run) {
    SyntheticScene::Options options;
    options.exposureSteps = run.exposureSteps;
    return options;
}

// Drives the exported calls over the synthetic scene.
class DemoSceneTest : public LibraryTest, public ::testing::WithParamInterface<SceneRun> {
protected:
    DemoSceneTest()
        : scene_(SceneOptions(GetParam())),
          camera_([this](long index, cv::Mat& frame) {
              scene_.Render(index, frame);
              return true;
          }) {}
    void SetUp() override {
        LibraryTest::SetUp();
        if (GetParam().mirrored) ToggleFlip();
    }
    // `mask` as the host sees it.
    cv::Mat Displayed(cv::Mat mask) const {
        if (GetParam().mirrored) cv::flip(mask, mask, 1);
        return mask;
    }
    SyntheticScene scene_;
    ScriptedCamera camera_;  // frame k of the scene is the k-th read: InitCam reads frame 0
};

using DemoSceneMotion = DemoSceneTest;

// Read on the current frame's grid, each shape's pixels give its speed and the
// background drifting 0.4 px per frame reads still, exposure steps or not.
// Pixels near a shape's outline are left out, as the demo's own check does.
TEST_P(DemoSceneMotion, ShapesReadTheirSpeedAndTheBackgroundReadsStill) {
    ASSERT_EQ(SetMode(0), 1.0);
    ASSERT_EQ(InitCam(), 1.0);
    ASSERT_EQ(UpdateFrame(), 1.0);  // frame 1: the first motion step has nothing to compare with
    constexpr int Band = 4;
    const cv::Size size = scene_.size();
    long shapeRight = 0, shapeTotal = 0, backgroundMoving = 0, backgroundStill = 0, backgroundTotal = 0;
    long stepMoving = 0, stepTotal = 0;
    for (long index = 2; index <= 21; ++index) {
        ASSERT_EQ(UpdateFrame(), 1.0);  // the field now runs from frame index - 1 to frame index
        const SyntheticScene::MotionTruth truth = scene_.TruthOfMotion(index, Band);
        const cv::Mat shapes = Displayed(truth.shape), background = Displayed(truth.background);
        const bool step = scene_.IsExposureStep(index);
        for (int y = 0; y < size.height; ++y) {
            const int* shapeRow = shapes.ptr<int>(y);
            const uchar* backgroundRow = background.ptr<uchar>(y);
            for (int x = 0; x < size.width; ++x) {
                const double motion = IsMotion(x, y);
                if (shapeRow[x] >= 0) {
                    ++shapeTotal;
                    const double wholeSpeed = std::floor(scene_.Speed(shapeRow[x]));
                    shapeRight += motion >= 1.0 && std::abs(motion - wholeSpeed) <= 1.0;
                } else if (backgroundRow[x]) {
                    ++(step ? stepTotal : backgroundTotal);
                    (step ? stepMoving : backgroundMoving) += motion >= 1.0;
                    backgroundStill += motion == 0.0;
                }
            }
        }
    }
    ASSERT_GT(shapeTotal, 20 * 15000);  // the shapes are on the picture
    ASSERT_GT(backgroundTotal, 19 * 150000);
    ASSERT_EQ(stepTotal > 0, GetParam().exposureSteps);
    const double shapeShare = static_cast<double>(shapeRight) / static_cast<double>(shapeTotal);
    const double backgroundShare = static_cast<double>(backgroundMoving) / static_cast<double>(backgroundTotal);
    const double stillShare = static_cast<double>(backgroundStill) / static_cast<double>(backgroundTotal + stepTotal);
    RecordProperty("shape_share_right", std::to_string(shapeShare));
    RecordProperty("background_share_moving", std::to_string(backgroundShare));
    EXPECT_GE(shapeShare, 5.0 * backgroundShare) << "shapes " << shapeShare << ", background " << backgroundShare;
    EXPECT_GT(shapeShare, 0.05) << "the shapes hardly register as moving";
    EXPECT_GE(stillShare, 0.95) << "background drifting at 0.4 px per frame reads as motion";
}

INSTANTIATE_TEST_SUITE_P(MirrorAndExposure, DemoSceneMotion,
                         ::testing::Values(SceneRun{false, false}, SceneRun{false, true}, SceneRun{true, true}),
                         SceneRunName);

using DemoSceneTracking = DemoSceneTest;

// Tracked points on the background follow the known drift, with and without
// mirroring, through exposure steps too.
TEST_P(DemoSceneTracking, BackgroundObjectsFollowTheDriftForFiftyFrames) {
    const bool mirrored = GetParam().mirrored;
    constexpr long Frames = 50;
    ASSERT_EQ(SetMode(2), 1.0);
    ASSERT_EQ(InitCam(), 1.0);
    ASSERT_EQ(UpdateFrame(), 1.0);  // frame 1 primes the tracker

    // Background corners that no shape comes near in the frames to come (the
    // tracker's window and pyramid reach about 20 px), nor the picture's edge.
    cv::Mat shapesAhead = cv::Mat::zeros(scene_.size(), CV_8UC1);
    for (long index = 1; index <= 1 + Frames; ++index) shapesAhead |= scene_.ShapesMask(index);
    cv::Mat candidates = ~Dilated(shapesAhead, 24);
    const int edge = 40;
    candidates(cv::Rect(0, 0, candidates.cols, edge)).setTo(0);
    candidates(cv::Rect(0, candidates.rows - edge, candidates.cols, edge)).setTo(0);
    candidates(cv::Rect(0, 0, edge, candidates.rows)).setTo(0);
    candidates(cv::Rect(candidates.cols - edge, 0, edge, candidates.rows)).setTo(0);
    cv::Mat picture = scene_.Render(1), gray;
    if (mirrored) {
        cv::flip(picture, picture, 1);
        cv::flip(candidates, candidates, 1);
    }
    cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
    std::vector<cv::Point2f> corners;
    cv::goodFeaturesToTrack(gray, corners, 24, 0.05, 25.0, candidates);
    ASSERT_GE(corners.size(), 8u);

    std::vector<double> ids;
    for (const cv::Point2f& corner : corners) ids.push_back(ObjectAdd(corner.x, corner.y));
    for (long step = 0; step < Frames; ++step) ASSERT_EQ(UpdateFrame(), 1.0);

    const cv::Point2d drift(mirrored ? -SyntheticScene::DriftX : SyntheticScene::DriftX, SyntheticScene::DriftY);
    for (size_t i = 0; i < corners.size(); ++i) {
        const cv::Point2d expected = cv::Point2d(corners[i]) + drift * static_cast<double>(Frames);
        const cv::Point2d tracked(ObjectGetX(ids[i]), ObjectGetY(ids[i]));
        EXPECT_LE(cv::norm(tracked - expected), 1.0)
            << "object " << ids[i] << " from " << corners[i] << " reached " << tracked << ", expected " << expected;
    }
}

INSTANTIATE_TEST_SUITE_P(MirrorAndExposure, DemoSceneTracking,
                         ::testing::Values(SceneRun{false, false}, SceneRun{true, false}, SceneRun{false, true},
                                           SceneRun{true, true}),
                         SceneRunName);

}  // namespace
}  // namespace torvane::testing
