// The library's answers over the demo's synthetic scene, compared with the
// scene's own ground truth: the scene itself first (everything else leans on
// it), then the motion field against the shape masks and tracked background
// points against the known drift.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
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
        const double speed = std::hypot(shape.velocity.x, shape.velocity.y);
        EXPECT_GE(speed, 2.0);
        EXPECT_LE(speed, 3.0);
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
}

// Drives the exported calls over the synthetic scene.
class DemoSceneTest : public LibraryTest {
protected:
    DemoSceneTest()
        : camera_([this](long index, cv::Mat& frame) {
              scene_.Render(index, frame);
              return true;
          }) {}
    SyntheticScene scene_;
    ScriptedCamera camera_;  // frame k of the scene is the k-th read: InitCam reads frame 0
};

TEST_F(DemoSceneTest, MotionShowsOnTheMovingShapesAndNotOnTheDriftingBackground) {
    ASSERT_EQ(SetMode(0), 1.0);
    ASSERT_EQ(InitCam(), 1.0);
    ASSERT_EQ(UpdateFrame(), 1.0);  // frame 1: the first motion step has nothing to compare with
    const cv::Size size = scene_.size();
    long shapeMoving = 0, shapeTotal = 0, backgroundMoving = 0, backgroundStill = 0, backgroundTotal = 0;
    for (long index = 2; index <= 21; ++index) {
        ASSERT_EQ(UpdateFrame(), 1.0);  // the field now runs from frame index - 1 to frame index
        const cv::Mat before = scene_.ShapesMask(index - 1), after = scene_.ShapesMask(index);
        // Inside: covered by a shape in both frames. Background: no shape within
        // reach of the field's window (5 x 5) and gradient (3 x 3) in either frame.
        const cv::Mat inside = before & after;
        const cv::Mat background = ~Dilated(before | after, 4);
        for (int y = 0; y < size.height; ++y) {
            const uchar* insideRow = inside.ptr<uchar>(y);
            const uchar* backgroundRow = background.ptr<uchar>(y);
            for (int x = 0; x < size.width; ++x) {
                const double motion = IsMotion(x, y);
                if (insideRow[x]) {
                    ++shapeTotal;
                    shapeMoving += motion >= 1.0;
                } else if (backgroundRow[x]) {
                    ++backgroundTotal;
                    backgroundMoving += motion >= 1.0;
                    backgroundStill += motion == 0.0;
                }
            }
        }
    }
    ASSERT_GT(shapeTotal, 20 * 20000);  // the shapes are on the picture
    ASSERT_GT(backgroundTotal, 20 * 150000);
    const double shapeShare = static_cast<double>(shapeMoving) / shapeTotal;
    const double backgroundShare = static_cast<double>(backgroundMoving) / backgroundTotal;
    const double backgroundStillShare = static_cast<double>(backgroundStill) / backgroundTotal;
    RecordProperty("shape_share_moving", std::to_string(shapeShare));
    RecordProperty("background_share_moving", std::to_string(backgroundShare));
    EXPECT_GE(shapeShare, 5.0 * backgroundShare) << "shapes " << shapeShare << ", background " << backgroundShare;
    EXPECT_GT(shapeShare, 0.05) << "the shapes hardly register as moving";
    EXPECT_GE(backgroundStillShare, 0.95) << "background drifting at 0.4 px per frame reads as motion";
}

// Tracked points on the background follow the known drift, with and without mirroring.
class DemoSceneTracking : public DemoSceneTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DemoSceneTracking, BackgroundObjectsFollowTheDriftForFiftyFrames) {
    const bool mirrored = GetParam();
    constexpr long Frames = 50;
    if (mirrored) ToggleFlip();
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

INSTANTIATE_TEST_SUITE_P(Mirror, DemoSceneTracking, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Mirrored") : std::string("Upright");
                         });

}  // namespace
}  // namespace torvane::testing
