// Steady-state updates allocate nothing in the library's own code: every
// working image already exists at the right size.
#include <gtest/gtest.h>

#include "allocation_counter.hpp"
#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

using SteadyStateAllocations = LibraryTest;

TEST_F(SteadyStateAllocations, UpdatesInMotionCopyAndIdleModesAllocateNothing) {
    const cv::Mat a = TexturedFrame(640, 480, 1), b = TexturedFrame(640, 480, 2);
    // Frames are copied into the buffer the library keeps from one fetch to
    // the next, so the camera itself allocates nothing either.
    ScriptedCamera camera([&](long index, cv::Mat& frame) {
        (index % 2 ? a : b).copyTo(frame);
        return true;
    });
    // The imaging library's worker pool allocates for itself, lazily and at
    // moments of its own choosing; one thread keeps the count to our code.
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    ASSERT_EQ(InitCam(), 1.0);
    for (const double mode : {1.0, 7.0, 0.0}) {
        SetMode(mode);
        for (int warmUp = 0; warmUp < 3; ++warmUp) ASSERT_EQ(UpdateFrame(), 1.0);
        long allocations = 0;
        {
            AllocationCount count;
            for (int update = 0; update < 100; ++update) ASSERT_EQ(UpdateFrame(), 1.0);
            allocations = count.allocations();
        }
        EXPECT_EQ(allocations, 0) << "mode " << mode;
    }
    ToggleFlip();
    SetMode(1);
    UpdateFrame();
    AllocationCount count;
    for (int update = 0; update < 100; ++update) ASSERT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(count.allocations(), 0) << "mirroring in place";
    cv::setNumThreads(threads);
}

}  // namespace
}  // namespace torvane::testing
