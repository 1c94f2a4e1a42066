// The motion step as the host sees it through UpdateFrame, and the two pixel
// probes: bounds, truncation, the magnitude's integer part and the packed colour.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr int Width = 32, Height = 24;

cv::Mat Shifted(const cv::Mat& frame, double dx) {
    const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, 0);
    cv::Mat moved;
    cv::warpAffine(frame, moved, shift, frame.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return moved;
}

class MotionProbes : public LibraryTest {
protected:
    // Opens a scripted camera showing a pure red picture and copies it once,
    // so that both probes have a picture and a field to read.
    void OpenRedCamera() {
        camera_ = std::make_unique<ScriptedCamera>(
            std::vector<cv::Mat>{cv::Mat(Height, Width, CV_8UC3, cv::Scalar(0, 0, 255))});
        ASSERT_EQ(InitCam(), 1.0);
        SetMode(1);
        ASSERT_EQ(UpdateFrame(), 1.0);
    }
    static void PlantVelocity(int x, int y, float vx, float vy) {
        cameraState.images.flowX.at<float>(y, x) = vx;
        cameraState.images.flowY.at<float>(y, x) = vy;
    }
    std::unique_ptr<ScriptedCamera> camera_;
};

TEST_F(MotionProbes, BoundsAreTestedAsRealsBeforeTruncation) {
    OpenRedCamera();
    PlantVelocity(0, 0, 3, 4);
    PlantVelocity(Width - 1, Height - 1, 3, 4);
    const struct {
        double x, y;
        bool inside;
    } cases[] = {
        {0, 0, true},         {0.99, 0.99, true},  {Width - 0.5, Height - 0.5, true}, {Width - 1, Height - 1, true},
        {Width, 0, false},    {0, Height, false},  {-0.5, 0, false},                  {0, -0.5, false},
        {NaN, 0, false},      {0, NaN, false},     {Inf, 0, false},                   {-Inf, 0, false},
        {1e300, 0, false},    {-1e300, 0, false},  {std::ldexp(1.0, 31), 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsMotion(c.x, c.y), c.inside ? 5.0 : 0.0) << c.x << ", " << c.y;
        EXPECT_EQ(IsColor(c.x, c.y, 255), c.inside ? 0.0 : -1.0) << c.x << ", " << c.y;
    }
}

TEST_F(MotionProbes, MotionIsTheWholePartOfTheSpeed) {
    OpenRedCamera();
    const struct {
        float vx, vy;
        double expected;
    } cases[] = {
        {3, 4, 5},      {1, 1, 1},     {-3, -4, 5},   {0.99f, 0, 0},     {0, -2.5f, 2},
        {NAN, 0, 0},    {0, INFINITY, 0}, {-INFINITY, 0, 0}, {3e38f, 3e38f, 0},  // not finite: no motion
        {1e10f, 0, static_cast<double>(static_cast<uint32_t>(10000000000ull))},  // low 32 bits of the whole part
    };
    for (const auto& c : cases) {
        PlantVelocity(5, 6, c.vx, c.vy);
        EXPECT_EQ(IsMotion(5.7, 6.2), c.expected) << c.vx << ", " << c.vy;
    }
}

TEST_F(MotionProbes, ColorDistanceToThePackedColour) {
    OpenRedCamera();  // every pixel: blue 0, green 0, red 255
    const struct {
        double color, distance;
    } cases[] = {
        {255, 0},
        {0, 255},
        {16777215, std::sqrt(2.0 * 255 * 255)},                 // white
        {16777216, std::sqrt(255.0 * 255 + 256.0 * 256)},       // blue 256, red 0: blue is unmasked
        {-1, std::sqrt(255.0 * 255 + 65535.0 * 65535)},         // red 255, green 255, blue 65535
        {NaN, 255},                                             // counts as 0
        {255.9, 0},
        {1e300, 255},
        {65280, std::sqrt(2.0 * 255 * 255)},                    // pure green
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(IsColor(3, 4, c.color), c.distance) << c.color;
    EXPECT_NEAR(IsColor(3, 4, 16777215), 360.62, 0.005);
}

TEST_F(MotionProbes, ProbesRefuseWithoutImages) {
    EXPECT_EQ(IsMotion(0, 0), 0.0);
    EXPECT_EQ(IsColor(0, 0, 0), -1.0);
    OpenRedCamera();
    EXPECT_EQ(IsColor(0, 0, 255), 0.0);
    UnloadCam();
    EXPECT_EQ(IsMotion(0, 0), 0.0) << "released images are never read";
    EXPECT_EQ(IsColor(0, 0, 255), -1.0);
}

TEST_F(MotionProbes, MotionStepFollowsThePicture) {
    const cv::Mat frame = TexturedFrame(96, 64, 7);
    const cv::Mat moved = Shifted(frame, 1.5);
    ScriptedCamera camera({frame, frame, frame, moved, moved});
    ASSERT_EQ(InitCam(), 1.0);
    SetMode(0);

    // The first step has no previous picture: no motion, not motion against a blank one.
    ASSERT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(cv::countNonZero(cameraState.images.flowX), 0);
    EXPECT_EQ(cv::countNonZero(cameraState.images.flowY), 0);
    // The one look inside the state record worth keeping: it alone guards the
    // motion step's colour-to-grey weighting, which a host can barely see.
    cv::Mat expectedGray;
    cv::cvtColor(frame, expectedGray, cv::COLOR_RGB2GRAY);
    EXPECT_EQ(cv::norm(cameraState.images.grayPrevious, expectedGray, cv::NORM_INF), 0.0)
        << "the motion step weighs channels with the RGB code";

    ASSERT_EQ(UpdateFrame(), 1.0);  // identical frames
    EXPECT_EQ(cv::countNonZero(cameraState.images.flowX), 0);
    EXPECT_EQ(cv::countNonZero(cameraState.images.flowY), 0);

    ASSERT_EQ(UpdateFrame(), 1.0);  // the picture moves one and a half pixels right
    int rightward = 0, counted = 0;
    std::vector<float> horizontal;
    for (int y = 8; y < 56; ++y) {
        for (int x = 8; x < 88; ++x, ++counted) {
            rightward += IsMotion(x, y) == 1.0 && cameraState.images.flowX.at<float>(y, x) > 1.0f;
            horizontal.push_back(cameraState.images.flowX.at<float>(y, x));
        }
    }
    EXPECT_GT(rightward, counted * 6 / 10);
    std::nth_element(horizontal.begin(), horizontal.begin() + counted / 2, horizontal.end());
    EXPECT_NEAR(horizontal[counted / 2], 1.5, 0.2) << "median horizontal velocity";

    // In mode 2 the probe keeps answering from the last field computed in mode 0.
    const cv::Mat lastField = cameraState.images.flowX.clone();
    SetMode(2);
    ASSERT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(cv::norm(cameraState.images.flowX, lastField, cv::NORM_INF), 0.0);
    cv::cvtColor(moved, expectedGray, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::norm(cameraState.images.grayPrevious, expectedGray, cv::NORM_INF), 0.0)
        << "the tracking step weighs channels with the BGR code";
}

}  // namespace
}  // namespace torvane::testing
