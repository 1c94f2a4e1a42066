// Switching modes around known motion: the first motion step after another
// mode must answer exactly as an uninterrupted motion run on the same two
// pictures would, whatever the motion field itself computes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

constexpr int Width = 40, Height = 30;

// Frame k: a window of one large texture, moved 2 px left and 1 px up per frame.
cv::Mat MovingFrame(int k) {
    static const cv::Mat texture = TexturedFrame(Width + 40, Height + 20, 11);
    return texture(cv::Rect(2 * k, k, Width, Height)).clone();
}

// A camera that shows whatever frame the test hands it next.
class FrameFeeder {
public:
    FrameFeeder() : camera_([this](long, cv::Mat& frame) {
        next_.copyTo(frame);
        return true;
    }) {}
    double Init(const cv::Mat& frame) {
        next_ = frame;
        return InitCam();
    }
    double Update(const cv::Mat& frame) {
        next_ = frame;
        return UpdateFrame();
    }
    ~FrameFeeder() { UnloadCam(); }

private:
    cv::Mat next_;
    ScriptedCamera camera_;
};

// IsMotion at every pixel, row by row.
std::vector<double> MotionEverywhere() {
    std::vector<double> motion;
    for (int y = 0; y < Height; ++y) {
        for (int x = 0; x < Width; ++x) motion.push_back(IsMotion(x, y));
    }
    return motion;
}

// What a host sees after a fresh motion run that shows `previous`, then `current`.
std::vector<double> UninterruptedMotion(const cv::Mat& previous, const cv::Mat& current) {
    UnloadCam();
    SetMode(0);
    FrameFeeder feeder;
    EXPECT_EQ(feeder.Init(previous), 1.0);
    EXPECT_EQ(feeder.Update(previous), 1.0);
    EXPECT_EQ(feeder.Update(current), 1.0);
    return MotionEverywhere();
}

size_t Differing(const std::vector<double>& a, const std::vector<double>& b) {
    size_t differing = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) differing += a[i] != b[i];
    return differing + (a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
}

using ModeSwitch = LibraryTest;

// 0 -> m -> 0 with one and with several frames in mode m. Mode 1 copies every
// frame, so motion resumes against its last one; modes 2 and 7 copy nothing,
// so motion resumes against the last frame mode 0 saw.
TEST_F(ModeSwitch, MotionResumesAgainstTheLastCopiedPicture) {
    for (const int otherMode : {1, 2, 7}) {
        for (const int framesInOtherMode : {1, 3}) {
            SCOPED_TRACE("mode " + std::to_string(otherMode) + " for " + std::to_string(framesInOtherMode) +
                         " frame(s)");
            ResetLibrary();
            std::vector<double> observed;
            const int resumeFrame = 3 + framesInOtherMode;
            {
                FrameFeeder feeder;
                ASSERT_EQ(feeder.Init(MovingFrame(0)), 1.0);
                ASSERT_EQ(ObjectAdd(Width / 2, Height / 2), 0.0);  // so that mode 2 really tracks
                SetMode(0);
                ASSERT_EQ(feeder.Update(MovingFrame(1)), 1.0);
                ASSERT_EQ(feeder.Update(MovingFrame(2)), 1.0);
                SetMode(otherMode);
                for (int k = 3; k < resumeFrame; ++k) ASSERT_EQ(feeder.Update(MovingFrame(k)), 1.0);
                SetMode(0);
                ASSERT_EQ(feeder.Update(MovingFrame(resumeFrame)), 1.0);
                observed = MotionEverywhere();
            }
            const int previousFrame = otherMode == 1 ? resumeFrame - 1 : 2;
            const std::vector<double> expected =
                UninterruptedMotion(MovingFrame(previousFrame), MovingFrame(resumeFrame));
            EXPECT_EQ(Differing(observed, expected), 0u) << "pixels whose motion differs from the uninterrupted run";

            // The frames are chosen so that resuming against any other picture shows.
            const int wrongPrevious = otherMode == 1 ? 2 : resumeFrame - 1;
            EXPECT_GT(Differing(expected, UninterruptedMotion(MovingFrame(wrongPrevious), MovingFrame(resumeFrame))),
                      0u);
        }
    }
}

}  // namespace
}  // namespace torvane::testing
