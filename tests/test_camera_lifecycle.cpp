// Camera lifecycle, frame update, mirroring, modes and the answers of every
// call in every state, driven through the exported calls with a scripted camera.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <limits>

#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

namespace fs = std::filesystem;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const RecordedNotice CameraNotOpened{"Error", "Could not initialize camera."};
const RecordedNotice NoFirstFrame{"Error", "Could not capture camera frame."};

// A frame whose left and right halves differ, so mirroring shows.
cv::Mat LeftRightFrame(int width, int height, cv::Vec3b left, cv::Vec3b right) {
    cv::Mat frame(height, width, CV_8UC3, cv::Scalar(left[0], left[1], left[2]));
    frame.colRange(width / 2, width).setTo(cv::Scalar(right[0], right[1], right[2]));
    return frame;
}

class TempFolder {
public:
    TempFolder() : path_(fs::temp_directory_path() / ("torvane-test-" + std::to_string(::getpid()))) {
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// The answers of the calls that depend on an open camera, in one state.
struct Answers {
    double update, save, width, height, motion, color;
};

Answers AnswersNow(const std::string& saveName) {
    const double save = SaveFrame(saveName.c_str());
    const double width = GetWidth(), height = GetHeight();
    const double motion = IsMotion(0, 0), color = IsColor(0, 0, 0);
    return {UpdateFrame(), save, width, height, motion, color};
}

void ExpectClosedAnswers(const Answers& a) {
    EXPECT_EQ(a.update, 0.0);
    EXPECT_EQ(a.save, 0.0);
    EXPECT_EQ(a.width, 0.0);
    EXPECT_EQ(a.height, 0.0);
    EXPECT_EQ(a.motion, 0.0);
    EXPECT_EQ(a.color, -1.0);
}

using CameraLifecycle = LibraryTest;

TEST_F(CameraLifecycle, BeforeInitEveryCallGivesItsNeutralAnswer) {
    TempFolder folder;
    ExpectClosedAnswers(AnswersNow(folder.File("a.png")));
    EXPECT_EQ(ToggleFlip(), 1.0);
    EXPECT_EQ(SetMode(2), 1.0);
    EXPECT_EQ(UnloadCam(), 1.0);
    EXPECT_FALSE(fs::exists(folder.File("a.png")));
    EXPECT_TRUE(notices_.notices().empty());
}

TEST_F(CameraLifecycle, NoCameraShowsTheNoticeOnceAndStaysClosed) {
    ScriptedCamera camera({TexturedFrame(32, 24)});
    camera.SetCanOpen(false);
    TempFolder folder;
    EXPECT_EQ(InitCam(), 0.0);
    ASSERT_EQ(notices_.notices().size(), 1u);
    EXPECT_EQ(notices_.notices()[0], CameraNotOpened);
    ExpectClosedAnswers(AnswersNow(folder.File("a.png")));
    EXPECT_EQ(UnloadCam(), 1.0);
    EXPECT_EQ(camera.OpenSources(), 0);
    EXPECT_EQ(notices_.notices().size(), 1u);
}

TEST_F(CameraLifecycle, NoFirstFrameLeavesTheCameraOpenUntilAFrameComes) {
    const cv::Mat frame = TexturedFrame(40, 30);
    ScriptedCamera camera({cv::Mat(), cv::Mat(), frame});
    EXPECT_EQ(InitCam(), 0.0);
    ASSERT_EQ(notices_.notices().size(), 1u);
    EXPECT_EQ(notices_.notices()[0], NoFirstFrame);
    EXPECT_EQ(camera.OpenSources(), 1);
    EXPECT_EQ(GetWidth(), 0.0);
    EXPECT_EQ(IsColor(0, 0, 0), -1.0) << "no image exists yet";
    EXPECT_EQ(UpdateFrame(), 0.0);  // the second scripted frame is missed too
    EXPECT_EQ(UpdateFrame(), 1.0);  // the late first frame is adopted
    EXPECT_EQ(GetWidth(), 40.0);
    EXPECT_EQ(GetHeight(), 30.0);
    EXPECT_GE(IsColor(39, 29, 0), 0.0);
    EXPECT_EQ(UnloadCam(), 1.0);
    EXPECT_EQ(camera.OpenSources(), 0);
}

TEST_F(CameraLifecycle, OpenUpdateMissAndUnload) {
    const cv::Mat frame = TexturedFrame(64, 48);
    ScriptedCamera camera({frame, frame, cv::Mat(), frame});
    TempFolder folder;
    ASSERT_EQ(InitCam(), 1.0);
    EXPECT_TRUE(notices_.notices().empty());
    EXPECT_EQ(GetWidth(), 64.0);
    EXPECT_EQ(GetHeight(), 48.0);
    EXPECT_EQ(cameraState.camera.frameWidth, 64);
    EXPECT_EQ(cameraState.camera.frameHeight, 48);
    EXPECT_EQ(UpdateFrame(), 1.0);

    // A missed frame: no frame to report or save, probes keep their images.
    EXPECT_EQ(UpdateFrame(), 0.0);
    EXPECT_EQ(GetWidth(), 0.0);
    EXPECT_EQ(SaveFrame(folder.File("missed.png").c_str()), 0.0);
    EXPECT_GE(IsColor(63, 47, 0), 0.0);
    EXPECT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(GetWidth(), 64.0);

    EXPECT_EQ(UnloadCam(), 1.0);
    EXPECT_EQ(camera.OpenSources(), 0);
    ExpectClosedAnswers(AnswersNow(folder.File("b.png")));
    EXPECT_EQ(UnloadCam(), 1.0) << "unloading twice is harmless";
}

TEST_F(CameraLifecycle, SecondInitCamClosesTheFirstCamera) {
    ScriptedCamera camera({TexturedFrame(32, 24)});
    ASSERT_EQ(InitCam(), 1.0);
    ASSERT_EQ(ObjectAdd(1, 2), 0.0);
    ASSERT_EQ(InitCam(), 1.0);
    EXPECT_EQ(camera.TimesOpened(), 2);
    EXPECT_EQ(camera.OpenSources(), 1);
    EXPECT_EQ(ObjectGetX(0), -1.0) << "a successful InitCam empties the object table";
    EXPECT_EQ(ObjectAdd(3, 4), 0.0);
}

TEST_F(CameraLifecycle, MirroredFrameIsWhatIsSavedAndSampled) {
    const cv::Vec3b blue(255, 0, 0), red(0, 0, 255);
    const cv::Mat first = LeftRightFrame(16, 8, blue, blue);
    const cv::Mat second = LeftRightFrame(16, 8, blue, red);
    ScriptedCamera camera({first, first, second});
    TempFolder folder;
    ASSERT_EQ(InitCam(), 1.0);
    SetMode(1);
    EXPECT_EQ(ToggleFlip(), 1.0);
    EXPECT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(UpdateFrame(), 1.0);

    const std::string saved = folder.File("mirrored.png");
    EXPECT_EQ(SaveFrame(saved.c_str()), 1.0);
    cv::Mat expected;
    cv::flip(second, expected, 1);
    const cv::Mat written = cv::imread(saved, cv::IMREAD_COLOR);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0);
    EXPECT_EQ(IsColor(0, 0, 255), 0.0) << "red now stands on the left";
    EXPECT_EQ(IsColor(15, 0, 255.0 * 65536), 0.0) << "blue on the right";

    // Two toggles restore the setting; the next frame is unmirrored again.
    EXPECT_EQ(ToggleFlip(), 1.0);
    EXPECT_EQ(cameraState.settings.flipEnabled, 0);
    EXPECT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(IsColor(15, 0, 255), 0.0);
}

TEST_F(CameraLifecycle, ModesBeyondCopyLeaveTheKeptFrameAlone) {
    const cv::Vec3b green(0, 255, 0), white(255, 255, 255);
    const cv::Mat greenFrame = LeftRightFrame(8, 8, green, green);
    const cv::Mat whiteFrame = LeftRightFrame(8, 8, white, white);
    for (const double mode : {2.0, 7.0, -3.0}) {
        ScriptedCamera camera({greenFrame, greenFrame, whiteFrame});
        ASSERT_EQ(InitCam(), 1.0);
        SetMode(1);
        ASSERT_EQ(UpdateFrame(), 1.0);
        SetMode(mode);
        EXPECT_EQ(UpdateFrame(), 1.0) << "mode " << mode << " still fetches";
        EXPECT_EQ(IsColor(3, 3, 255.0 * 256), 0.0) << "mode " << mode << ": keptFrame is still the green copy";
        EXPECT_EQ(UnloadCam(), 1.0);
    }
}

TEST_F(CameraLifecycle, SetModeTruncatesAndNeverRefuses) {
    const struct {
        double given;
        int32_t stored;
    } cases[] = {{2.9, 2}, {-1.5, -1}, {NaN, 0}, {1e300, 0}, {4294967298.0, 2}, {0.0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(SetMode(c.given), 1.0);
        EXPECT_EQ(cameraState.settings.mode, c.stored) << c.given;
    }
}

TEST_F(CameraLifecycle, FramesOfOtherLayoutsAreConvertedOrSkipped) {
    cv::Mat grey(6, 10, CV_8UC1, cv::Scalar(90));
    cv::Mat bgra(6, 10, CV_8UC4, cv::Scalar(10, 20, 30, 255));
    cv::Mat deep(6, 10, CV_16UC3, cv::Scalar(1000, 1000, 1000));
    cv::Mat twoChannel(6, 10, CV_8UC2, cv::Scalar(1, 2));
    ScriptedCamera camera({grey, bgra, deep, twoChannel, grey});
    ASSERT_EQ(InitCam(), 1.0);
    SetMode(1);
    EXPECT_EQ(UpdateFrame(), 1.0);  // bgra
    EXPECT_EQ(IsColor(9, 5, 30 + 20 * 256 + 10 * 65536), 0.0);
    EXPECT_EQ(UpdateFrame(), 0.0) << "16-bit frames are not camera frames this library reads";
    EXPECT_EQ(UpdateFrame(), 0.0) << "nor two-channel ones";
    EXPECT_EQ(UpdateFrame(), 1.0);  // grey again
    EXPECT_EQ(IsColor(0, 0, 90 + 90 * 256 + 90 * 65536), 0.0);
}

TEST_F(CameraLifecycle, ASizeChangeIsAdoptedInEveryMode) {
    for (const double mode : {0.0, 1.0, 2.0, 7.0}) {
        ScriptedCamera camera({TexturedFrame(64, 48, 1), TexturedFrame(64, 48, 2), TexturedFrame(21, 13, 3),
                               TexturedFrame(21, 13, 4)});
        ASSERT_EQ(InitCam(), 1.0);
        ASSERT_EQ(ObjectAdd(50, 40), 0.0);
        SetMode(mode);
        EXPECT_EQ(UpdateFrame(), 1.0);
        EXPECT_EQ(UpdateFrame(), 1.0) << "mode " << mode;
        EXPECT_EQ(GetWidth(), 21.0);
        EXPECT_EQ(cameraState.camera.frameWidth, 21);
        EXPECT_EQ(cameraState.images.flowX.cols, 21);
        EXPECT_EQ(cameraState.images.keptFrame.rows, 13);
        EXPECT_EQ(IsMotion(30, 5), 0.0) << "bounds follow the new size";
        EXPECT_EQ(IsColor(21, 5, 0), -1.0);
        EXPECT_EQ(IsMotion(20, 12), 0.0) << "history restarts: no motion against the old picture";
        EXPECT_EQ(ObjectGetX(0), 50.0) << "objects keep their ids and positions";
        EXPECT_EQ(UpdateFrame(), 1.0);
        EXPECT_EQ(UnloadCam(), 1.0);
    }
}

TEST_F(CameraLifecycle, SaveFrameWritesWholeFilesOrReportsFailure) {
    ScriptedCamera camera({TexturedFrame(24, 16)});
    TempFolder folder;
    ASSERT_EQ(InitCam(), 1.0);
    for (const char* name : {"frame.png", "frame.bmp", "frame.jpg", "FRAME.PNG"}) {
        const std::string path = folder.File(name);
        EXPECT_EQ(SaveFrame(path.c_str()), 1.0) << name;
        EXPECT_FALSE(cv::imread(path).empty()) << name;
    }
    const std::string refused[] = {
        "",
        folder.File("no-extension"),
        folder.File("unknown.xyz"),
        folder.File("dot.in.folder/none"),
        folder.File("missing-folder/frame.png"),
        folder.File(std::string(5000, 'a') + ".png"),
        folder.File(""),  // the folder itself
    };
    for (const std::string& name : refused) EXPECT_EQ(SaveFrame(name.c_str()), 0.0) << name.substr(0, 80);
    EXPECT_EQ(SaveFrame(nullptr), 0.0);

    // A device that is always full: the write must be reported as failed.
    const std::string full = folder.File("full.png");
    std::error_code error;
    fs::create_symlink("/dev/full", full, error);
    if (!error) EXPECT_EQ(SaveFrame(full.c_str()), 0.0);
}

}  // namespace
}  // namespace torvane::testing
