// Camera faults injected through the camera seam, in every mode, striking at
// the first or the second update (before or after a mode has history): the exact notices, UpdateFrame's
// answers, nothing processed on a missed frame, probes answering from the last
// field, and work resuming once the camera is back.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "camera_seam.hpp"
#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

const RecordedNotice CameraNotOpenedNotice{"Error", "Could not initialize camera."};
const RecordedNotice NoFirstFrameNotice{"Error", "Could not capture camera frame."};

// Content moves by this much per delivered frame: windows of one large texture.
constexpr int StepX = 1, StepY = 1;

// A camera whose behaviour the test switches between updates.
class FaultyCamera {
public:
    FaultyCamera() : texture_(TexturedFrame(220, 140, 7)) { Install(); }

    // Puts the scripted camera back behind the seam (after a test replaced it).
    void Install() {
        camera_.reset();  // uninstalls the old one first, so it cannot uninstall the new one
        camera_ = std::make_unique<ScriptedCamera>([this](long, cv::Mat& frame) { return Produce(frame); });
    }

    bool deliver = true;      // false: every read misses
    int missNext = 0;         // the next reads that miss, then frames again
    int throwNext = 0;        // the next reads that throw, as a failing camera backend may
    cv::Size size{32, 24};
    int channels = 3;

    void SetCanOpen(bool canOpen) { camera_->SetCanOpen(canOpen); }
    int OpenSources() const { return camera_->OpenSources(); }
    int TimesOpened() const { return camera_->TimesOpened(); }
    const cv::Mat& LastDeliveredBgr() const { return lastBgr_; }

private:
    bool Produce(cv::Mat& frame) {
        if (throwNext > 0) {
            --throwNext;
            CV_Error(cv::Error::StsError, "camera backend failure");
        }
        if (!deliver) return false;
        if (missNext > 0) {
            --missNext;
            return false;
        }
        const cv::Rect window(StepX * delivered_, StepY * delivered_, size.width, size.height);
        ++delivered_;
        texture_(window).copyTo(lastBgr_);
        switch (channels) {
            case 1: {
                cv::cvtColor(lastBgr_, frame, cv::COLOR_BGR2GRAY);
                cv::cvtColor(frame, lastBgr_, cv::COLOR_GRAY2BGR);
                break;
            }
            case 4: cv::cvtColor(lastBgr_, frame, cv::COLOR_BGR2BGRA); break;
            default: lastBgr_.copyTo(frame); break;
        }
        return true;
    }

    cv::Mat texture_;
    cv::Mat lastBgr_;
    int delivered_ = 0;
    std::unique_ptr<ScriptedCamera> camera_;
};

enum class Fault {
    CannotOpen,
    NoFirstFrame,
    OneMissedFrame,
    AllLaterMissed,
    Reconnect,
    SizeChange,
    ChannelChange,
    ReadThrows,  // the camera's read throws instead of reporting no frame
    OpenThrows,  // opening the camera throws instead of reporting no camera
};

std::string FaultName(Fault fault) {
    switch (fault) {
        case Fault::CannotOpen: return "CannotOpen";
        case Fault::NoFirstFrame: return "NoFirstFrame";
        case Fault::OneMissedFrame: return "OneMissedFrame";
        case Fault::AllLaterMissed: return "AllLaterMissed";
        case Fault::Reconnect: return "Reconnect";
        case Fault::SizeChange: return "SizeChange";
        case Fault::ChannelChange: return "ChannelChange";
        case Fault::ReadThrows: return "ReadThrows";
        case Fault::OpenThrows: return "OpenThrows";
    }
    return "Unknown";
}

void PrintTo(Fault fault, std::ostream* stream) { *stream << FaultName(fault); }

// Notices as the lines a user would read, so that a mismatch prints as text.
std::vector<std::string> Lines(const std::vector<RecordedNotice>& notices) {
    std::vector<std::string> lines;
    for (const RecordedNotice& notice : notices) lines.push_back(notice.caption + ": " + notice.text);
    return lines;
}

double Packed(const cv::Vec3b& bgr) { return bgr[2] + 256.0 * bgr[1] + 65536.0 * bgr[0]; }

// What the probes and the state record say at one moment.
struct Snapshot {
    cv::Mat keptFrame, flowX, flowY;
    std::vector<double> motion, colour;
    double objectX = 0, objectY = 0;

    static Snapshot Take(double id) {
        Snapshot s;
        s.keptFrame = cameraState.images.keptFrame.clone();
        s.flowX = cameraState.images.flowX.clone();
        s.flowY = cameraState.images.flowY.clone();
        for (const cv::Point p : SamplePixels()) {
            s.motion.push_back(IsMotion(p.x, p.y));
            s.colour.push_back(IsColor(p.x, p.y, 0x123456));
        }
        s.objectX = ObjectGetX(id);
        s.objectY = ObjectGetY(id);
        return s;
    }
    static std::vector<cv::Point> SamplePixels() { return {{0, 0}, {31, 23}, {16, 12}, {5, 17}, {27, 3}}; }
};

// SaveFrame must refuse in the states tested here; should it write anyway, the
// file lands in the temporary folder and is removed.
double SaveRefusedOrRemove(const char* name) {
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    const double answer = SaveFrame(path.c_str());
    std::remove(path.c_str());
    return answer;
}

bool SameImage(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

class FaultInjection : public LibraryTest, public ::testing::WithParamInterface<std::tuple<Fault, int, int>> {
protected:
    static constexpr double CentreX = 16, CentreY = 12;

    // A missed update: no frame, and nothing processed; the probes keep
    // answering from the last field and the kept frame.
    void ExpectNothingProcessed(const Snapshot& before, double id) {
        const Snapshot after = Snapshot::Take(id);
        EXPECT_TRUE(SameImage(before.keptFrame, after.keptFrame)) << "kept frame changed";
        EXPECT_TRUE(SameImage(before.flowX, after.flowX)) << "flowX changed";
        EXPECT_TRUE(SameImage(before.flowY, after.flowY)) << "flowY changed";
        EXPECT_EQ(before.motion, after.motion);
        EXPECT_EQ(before.colour, after.colour);
        EXPECT_EQ(before.objectX, after.objectX);
        EXPECT_EQ(before.objectY, after.objectY);
        EXPECT_EQ(GetWidth(), 0.0);
        EXPECT_EQ(GetHeight(), 0.0);
    }

    // The state after a failed InitCam: no frame, no picture, nothing to probe.
    void ExpectNoPicture() {
        EXPECT_EQ(GetWidth(), 0.0);
        EXPECT_EQ(GetHeight(), 0.0);
        EXPECT_EQ(IsMotion(0, 0), 0.0);
        EXPECT_EQ(IsColor(0, 0, 0), -1.0);
        EXPECT_EQ(SaveRefusedOrRemove("torvane-fault-unwritten.png"), 0.0);
    }

    // Updates run the mode's processing again, at the camera's current size.
    void ExpectWorkResumes(int mode, FaultyCamera& camera) {
        ASSERT_EQ(UpdateFrame(), 1.0);  // primes history after any restart
        double id = 0;
        if (ObjectSetPosition(id, CentreX, CentreY) != 0.0) id = ObjectAdd(CentreX, CentreY);
        ASSERT_GE(id, 0.0);
        const cv::Mat keptBefore = cameraState.images.keptFrame.clone();
        ASSERT_EQ(UpdateFrame(), 1.0);
        EXPECT_EQ(GetWidth(), camera.size.width);
        EXPECT_EQ(GetHeight(), camera.size.height);
        const cv::Mat& delivered = camera.LastDeliveredBgr();
        switch (mode) {
            case ModeMotion: {
                // Content moves up and left by one pixel each way per frame.
                double fastest = 0;
                for (int y = 0; y < camera.size.height; ++y) {
                    for (int x = 0; x < camera.size.width; ++x) fastest = std::max(fastest, IsMotion(x, y));
                }
                EXPECT_GE(fastest, 1.0);
                EXPECT_LT(cv::mean(cameraState.images.flowX)[0], -0.5);
                EXPECT_LT(cv::mean(cameraState.images.flowY)[0], -0.5);
                break;
            }
            case ModeCopy:
                for (const cv::Point p : Snapshot::SamplePixels()) {
                    EXPECT_EQ(IsColor(p.x, p.y, Packed(delivered.at<cv::Vec3b>(p))), 0.0) << p;
                }
                break;
            case ModeTrack:
                EXPECT_NEAR(ObjectGetX(id), CentreX - StepX, 0.25);
                EXPECT_NEAR(ObjectGetY(id), CentreY - StepY, 0.25);
                break;
            default:
                EXPECT_TRUE(SameImage(keptBefore, cameraState.images.keptFrame)) << "fetch only";
                EXPECT_TRUE(SameImage(cameraState.camera.frame, delivered)) << "but the frame is fetched";
                break;
        }
    }
};

TEST_P(FaultInjection, IsReportedContainedAndRecoveredFrom) {
    const auto [fault, mode, position] = GetParam();
    FaultyCamera camera;
    ASSERT_EQ(InitCam(), 1.0);
    SetMode(mode);
    double id = ObjectAdd(CentreX, CentreY);
    ASSERT_EQ(id, 0.0);
    for (int update = 1; update < position; ++update) ASSERT_EQ(UpdateFrame(), 1.0) << "update " << update;
    const Snapshot before = Snapshot::Take(id);

    std::vector<RecordedNotice> expectedNotices;
    switch (fault) {
        case Fault::CannotOpen: {
            // The camera is unplugged at this update; the host tries to start it again.
            camera.deliver = false;
            camera.SetCanOpen(false);
            EXPECT_EQ(UpdateFrame(), 0.0);
            ExpectNothingProcessed(before, id);
            EXPECT_EQ(InitCam(), 0.0);
            expectedNotices = {CameraNotOpenedNotice};
            EXPECT_EQ(camera.OpenSources(), 0);
            ExpectNoPicture();
            EXPECT_EQ(UpdateFrame(), 0.0) << "no camera to fetch from";
            EXPECT_EQ(ObjectGetX(id), before.objectX) << "a failed InitCam keeps the table";
            camera.deliver = true;
            camera.SetCanOpen(true);
            ASSERT_EQ(InitCam(), 1.0);
            EXPECT_EQ(ObjectGetX(id), -1.0) << "a successful InitCam empties the table";
            break;
        }
        case Fault::NoFirstFrame: {
            // The host restarts the camera at this update and it opens without a frame.
            camera.missNext = 1;
            EXPECT_EQ(InitCam(), 0.0);
            expectedNotices = {NoFirstFrameNotice};
            EXPECT_EQ(camera.OpenSources(), 1) << "the camera stays open";
            ExpectNoPicture();
            EXPECT_EQ(ObjectGetX(id), before.objectX);
            ASSERT_EQ(UpdateFrame(), 1.0) << "the late first frame is adopted";
            EXPECT_EQ(GetWidth(), 32.0);
            EXPECT_EQ(cameraState.camera.frameWidth, 32);
            break;
        }
        case Fault::OneMissedFrame: {
            camera.missNext = 1;
            EXPECT_EQ(UpdateFrame(), 0.0);
            ExpectNothingProcessed(before, id);
            EXPECT_EQ(SaveRefusedOrRemove("torvane-fault-missed.png"), 0.0);
            break;
        }
        case Fault::AllLaterMissed: {
            camera.deliver = false;
            for (int update = 0; update < 5; ++update) EXPECT_EQ(UpdateFrame(), 0.0);
            ExpectNothingProcessed(before, id);
            EXPECT_EQ(camera.OpenSources(), 1);
            EXPECT_EQ(UnloadCam(), 1.0);
            EXPECT_EQ(camera.OpenSources(), 0);
            EXPECT_EQ(Lines(notices_.notices()), Lines(expectedNotices));
            return;  // the camera never comes back
        }
        case Fault::Reconnect: {
            camera.deliver = false;
            EXPECT_EQ(UpdateFrame(), 0.0);
            ExpectNothingProcessed(before, id);
            camera.deliver = true;
            ASSERT_EQ(InitCam(), 1.0) << "a second InitCam reaches the camera again";
            EXPECT_EQ(camera.TimesOpened(), 2);
            EXPECT_EQ(camera.OpenSources(), 1) << "the first capture was closed";
            EXPECT_EQ(ObjectGetX(id), -1.0);
            break;
        }
        case Fault::SizeChange: {
            camera.size = cv::Size(40, 30);
            ASSERT_EQ(UpdateFrame(), 1.0);
            EXPECT_EQ(GetWidth(), 40.0);
            EXPECT_EQ(GetHeight(), 30.0);
            EXPECT_EQ(cameraState.images.flowX.size(), cv::Size(40, 30));
            EXPECT_EQ(cv::countNonZero(cameraState.images.flowX), 0) << "history restarts at the new size";
            EXPECT_EQ(IsMotion(39, 29), 0.0);
            // Modes 0 and 1 copy the new frame; the others leave the recreated
            // kept picture black until one of them does.
            const bool copies = mode == ModeMotion || mode == ModeCopy;
            for (const cv::Point p : {cv::Point(39, 29), cv::Point(0, 0), cv::Point(20, 15)}) {
                const cv::Vec3b kept = copies ? camera.LastDeliveredBgr().at<cv::Vec3b>(p) : cv::Vec3b(0, 0, 0);
                const double blue = 0x12 - kept[0], green = 0x34 - kept[1], red = 0x56 - kept[2];
                EXPECT_DOUBLE_EQ(IsColor(p.x, p.y, 0x123456), std::sqrt(blue * blue + green * green + red * red)) << p;
                EXPECT_EQ(IsColor(p.x, p.y, Packed(kept)), 0.0) << p;
            }
            EXPECT_EQ(IsColor(40, 29, 0), -1.0);
            EXPECT_EQ(ObjectGetX(id), before.objectX) << "objects keep their positions";
            break;
        }
        case Fault::ReadThrows: {
            // A throwing read is a missed frame: no frame to report or save.
            camera.throwNext = 1;
            EXPECT_EQ(UpdateFrame(), 0.0);
            ExpectNothingProcessed(before, id);
            EXPECT_EQ(SaveRefusedOrRemove("torvane-fault-stale.png"), 0.0);
            // Restarting, the first read throws too: the camera opened without a frame.
            camera.throwNext = 1;
            EXPECT_EQ(InitCam(), 0.0);
            expectedNotices = {NoFirstFrameNotice};
            EXPECT_EQ(camera.OpenSources(), 1);
            ExpectNoPicture();
            ASSERT_EQ(UpdateFrame(), 1.0) << "the late first frame is adopted";
            break;
        }
        case Fault::OpenThrows: {
            SetFrameSourceFactory([](int) -> std::unique_ptr<FrameSource> {
                CV_Error(cv::Error::StsError, "camera backend failure while opening");
            });
            EXPECT_EQ(InitCam(), 0.0);
            expectedNotices = {CameraNotOpenedNotice};
            EXPECT_EQ(camera.OpenSources(), 0) << "the camera open before was closed";
            ExpectNoPicture();
            EXPECT_EQ(ObjectGetX(id), before.objectX) << "a failed InitCam keeps the table";
            camera.Install();
            ASSERT_EQ(InitCam(), 1.0);
            break;
        }
        case Fault::ChannelChange: {
            camera.channels = 1;
            ASSERT_EQ(UpdateFrame(), 1.0) << "grey frames are converted";
            if (mode == ModeCopy) {
                const cv::Vec3b grey = camera.LastDeliveredBgr().at<cv::Vec3b>(5, 7);
                EXPECT_EQ(grey[0], grey[2]);
                EXPECT_EQ(IsColor(7, 5, Packed(grey)), 0.0);
            }
            camera.channels = 4;
            ASSERT_EQ(UpdateFrame(), 1.0) << "four-channel frames are converted";
            EXPECT_EQ(GetWidth(), 32.0);
            break;
        }
    }
    ExpectWorkResumes(mode, camera);
    EXPECT_EQ(Lines(notices_.notices()), Lines(expectedNotices));
    EXPECT_EQ(UnloadCam(), 1.0);
    EXPECT_EQ(camera.OpenSources(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    FaultModePosition, FaultInjection,
    ::testing::Combine(::testing::Values(Fault::CannotOpen, Fault::NoFirstFrame, Fault::OneMissedFrame,
                                         Fault::AllLaterMissed, Fault::Reconnect, Fault::SizeChange,
                                         Fault::ChannelChange, Fault::ReadThrows, Fault::OpenThrows),
                       ::testing::Values(0, 1, 2, 7), ::testing::Values(1, 2)),
    [](const ::testing::TestParamInfo<std::tuple<Fault, int, int>>& cell) {
        return FaultName(std::get<0>(cell.param)) + "_Mode" + std::to_string(std::get<1>(cell.param)) + "_Update" +
               std::to_string(std::get<2>(cell.param));
    });

}  // namespace
}  // namespace torvane::testing
