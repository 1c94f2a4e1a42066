// Heap allocations of the tracking step in steady state. The library's own part
// (grey conversion into the kept image, pyramids kept from step to step)
// allocates nothing; the sparse tracker allocates a little scratch of its own
// on every call, which is counted and reported, not tested.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "allocation_counter.hpp"
#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

constexpr int Updates = 50;

class TrackingAllocations : public LibraryTest {
protected:
    // Two textured frames in turn, copied into the buffer the library keeps.
    void StartTracking(int width, int height) {
        frames_[0] = TexturedFrame(width, height, 1);
        frames_[1] = TexturedFrame(width, height, 2);
        camera_.reset();  // before the next one installs itself
        camera_ = std::make_unique<ScriptedCamera>([this](long index, cv::Mat& frame) {
            frames_[repeatFrame_ ? 0 : index % 2].copyTo(frame);
            return true;
        });
        ASSERT_EQ(InitCam(), 1.0);
        SetMode(2);
    }
    // Allocations per update, averaged over `Updates` after a few to settle.
    double AllocationsPerUpdate() {
        for (int warmUp = 0; warmUp < 4; ++warmUp) EXPECT_EQ(UpdateFrame(), 1.0);
        AllocationCount count;
        for (int update = 0; update < Updates; ++update) EXPECT_EQ(UpdateFrame(), 1.0);
        return static_cast<double>(count.allocations()) / Updates;
    }
    void TearDown() override {
        UnloadCam();
        camera_.reset();
        LibraryTest::TearDown();
    }

    cv::Mat frames_[2];
    bool repeatFrame_ = false;
    std::unique_ptr<ScriptedCamera> camera_;
};

TEST_F(TrackingAllocations, StepsWithoutObjectsOrWithARepeatedFrameAllocateNothing) {
    ASSERT_NO_FATAL_FAILURE(StartTracking(160, 120));
    EXPECT_EQ(AllocationsPerUpdate(), 0.0) << "no objects";

    for (int i = 0; i < 16; ++i) ASSERT_GE(ObjectAdd(10 + 9 * i, 8 + 6 * i), 0.0);
    repeatFrame_ = true;
    EXPECT_EQ(AllocationsPerUpdate(), 0.0) << "objects on a repeated frame";
}

// Every buffer behind the two kept pyramids.
std::set<const unsigned char*> PyramidBuffers() {
    std::set<const unsigned char*> buffers;
    for (const auto* pyramid : {&cameraState.images.pyramidPrevious, &cameraState.images.pyramidCurrent}) {
        for (const cv::Mat& level : *pyramid) buffers.insert(level.datastart);
    }
    return buffers;
}

// With objects, the pyramids are built into the same buffers every step; the
// tracker's own scratch is counted and reported.
TEST_F(TrackingAllocations, PyramidsKeepTheirBuffersAndTrackerScratchIsReported) {
    for (const cv::Size size : {cv::Size(160, 120), cv::Size(640, 480)}) {
        for (const int objects : {16, 256}) {
            ResetLibrary();
            ASSERT_NO_FATAL_FAILURE(StartTracking(size.width, size.height));
            for (int i = 0; i < objects; ++i) {
                ASSERT_GE(ObjectAdd(12 + (i * 37) % (size.width - 24), 12 + (i * 53) % (size.height - 24)), 0.0);
            }
            const double perUpdate = AllocationsPerUpdate();
            const std::set<const unsigned char*> buffers = PyramidBuffers();
            EXPECT_EQ(buffers.size(), 8u) << "two pyramids of four levels";
            for (int update = 0; update < 5; ++update) ASSERT_EQ(UpdateFrame(), 1.0);
            EXPECT_TRUE(PyramidBuffers() == buffers) << "a pyramid level was allocated afresh";

            const std::string name = "tracker_allocations_per_step_" + std::to_string(size.width) + "x" +
                                     std::to_string(size.height) + "_" + std::to_string(objects) + "_objects";
            RecordProperty(name, std::to_string(perUpdate));
            std::printf("%s: %.2f\n", name.c_str(), perUpdate);
        }
    }
}

}  // namespace
}  // namespace torvane::testing
