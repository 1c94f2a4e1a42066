// Steady-state updates allocate nothing in the library's own code: every
// working image already exists at the right size.
#include <gtest/gtest.h>

#include "allocation_counter.hpp"
#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

// A frame source that hands out frames without allocating: it copies into
// the buffer it is given, which the library keeps from one fetch to the next.
using SteadyStateAllocations = LibraryTest;

TEST_F(SteadyStateAllocations, UpdatesInCopyAndIdleModesAllocateNothing) {
    const cv::Mat a = TexturedFrame(64, 48, 1), b = TexturedFrame(64, 48, 2);
    ScriptedCamera camera([&](long index, cv::Mat& frame) {
        (index % 2 ? a : b).copyTo(frame);
        return true;
    });
    ASSERT_EQ(InitCam(), 1.0);
    for (const double mode : {1.0, 7.0}) {
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
}

}  // namespace
}  // namespace torvane::testing
