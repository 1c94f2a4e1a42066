// Camera lifecycle, frame update, mirroring, modes and the answers of every
// call in every state, driven through the exported calls with a scripted camera.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
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

double Packed(cv::Vec3b bgr) { return bgr[2] + 256.0 * bgr[1] + 65536.0 * bgr[0]; }

// IsColor's exact answer for a pixel of the given colour probed with `probe`.
double Distance(cv::Vec3b bgr, cv::Vec3b probe) {
    const double blue = probe[0] - bgr[0], green = probe[1] - bgr[1], red = probe[2] - bgr[2];
    return std::sqrt(blue * blue + green * green + red * red);
}

// A probe colour whose three channels differ, so that swapped channels show.
const cv::Vec3b Probe(40, 150, 220);

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
    // Mode 0 copied the adopted frame: the colour probe samples it.
    for (const cv::Point p : {cv::Point(0, 0), cv::Point(39, 29), cv::Point(17, 11)}) {
        const cv::Vec3b pixel = frame.at<cv::Vec3b>(p);
        EXPECT_EQ(IsColor(p.x, p.y, Packed(pixel)), 0.0) << p;
        EXPECT_DOUBLE_EQ(IsColor(p.x, p.y, Packed(Probe)), Distance(pixel, Probe)) << p;
    }
    EXPECT_EQ(UnloadCam(), 1.0);
    EXPECT_EQ(camera.OpenSources(), 0);
}

TEST_F(CameraLifecycle, OpenUpdateMissAndUnload) {
    const cv::Mat frame = TexturedFrame(64, 48);
    const cv::Mat next = TexturedFrame(64, 48, 2);
    ScriptedCamera camera({frame, frame, cv::Mat(), next});
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
    const cv::Vec3b corner = frame.at<cv::Vec3b>(47, 63);
    EXPECT_EQ(IsColor(63, 47, Packed(corner)), 0.0) << "still the picture copied before the miss";
    EXPECT_DOUBLE_EQ(IsColor(63, 47, Packed(Probe)), Distance(corner, Probe));
    EXPECT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(GetWidth(), 64.0);
    EXPECT_EQ(IsColor(63, 47, Packed(next.at<cv::Vec3b>(47, 63))), 0.0) << "the next frame is copied";

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

// The saved file and the frame as the camera gave it, pixel for pixel.
void ExpectSaved(const std::string& path, const cv::Mat& expected, const std::string& when) {
    EXPECT_EQ(SaveFrame(path.c_str()), 1.0) << when;
    const cv::Mat written = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_EQ(written.size(), expected.size()) << when;
    EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0) << when;
}

// SaveFrame writes the frame just fetched, never the copy the colour probe
// samples: the two differ right after InitCam (nothing copied yet) and in every
// mode that does not copy.
TEST_F(CameraLifecycle, SaveFrameWritesTheFrameJustFetchedInEveryMode) {
    TempFolder folder;
    for (const double mode : {0.0, 1.0, 2.0, 7.0}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        std::vector<cv::Mat> frames;
        for (int k = 0; k < 4; ++k) frames.push_back(TexturedFrame(24, 16, 20 + k));
        ScriptedCamera camera(frames);
        ASSERT_EQ(InitCam(), 1.0);
        ASSERT_EQ(ObjectAdd(12, 8), 0.0);
        SetMode(mode);
        ExpectSaved(folder.File("init.png"), frames[0], "after InitCam");
        for (int k = 1; k < 4; ++k) {
            ASSERT_EQ(UpdateFrame(), 1.0);
            ExpectSaved(folder.File("update.png"), frames[static_cast<size_t>(k)], "after update " + std::to_string(k));
        }
        UnloadCam();
    }
}

// Mirroring starts with the first UpdateFrame: InitCam's frame is kept as the
// camera gave it, even with mirroring switched on before.
TEST_F(CameraLifecycle, InitCamKeepsItsFirstFrameUnmirrored) {
    const cv::Vec3b blue(255, 0, 0), red(0, 0, 255);
    const cv::Mat first = LeftRightFrame(16, 8, blue, red);
    const cv::Mat second = LeftRightFrame(16, 8, red, blue);
    ScriptedCamera camera({first, second});
    TempFolder folder;
    EXPECT_EQ(ToggleFlip(), 1.0);
    ASSERT_EQ(InitCam(), 1.0);
    ExpectSaved(folder.File("first.png"), first, "InitCam's frame");
    EXPECT_EQ(IsColor(0, 0, 0), 0.0) << "nothing copied yet: the kept picture is black";
    EXPECT_DOUBLE_EQ(IsColor(15, 7, Packed(Probe)), Distance(cv::Vec3b(0, 0, 0), Probe));

    SetMode(1);
    ASSERT_EQ(UpdateFrame(), 1.0);
    cv::Mat mirrored;
    cv::flip(second, mirrored, 1);
    ExpectSaved(folder.File("second.png"), mirrored, "the next frame");
    EXPECT_EQ(IsColor(0, 0, Packed(blue)), 0.0);
    EXPECT_EQ(IsColor(15, 7, Packed(red)), 0.0);
}

// A size change recreates the kept picture. Modes 0 and 1 copy the new frame
// into it at once; modes 2 and others leave it black, as after InitCam, until
// an update in mode 0 or 1 copies a frame.
TEST_F(CameraLifecycle, AfterASizeChangeTheColourProbeSeesTheNewFrameOrBlack) {
    const cv::Mat small = TexturedFrame(21, 13, 3), large = TexturedFrame(30, 20, 4);
    for (const double mode : {0.0, 1.0, 2.0, 7.0}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        ScriptedCamera camera({large, large, small, small});
        ASSERT_EQ(InitCam(), 1.0);
        SetMode(1);
        ASSERT_EQ(UpdateFrame(), 1.0);
        SetMode(mode);
        ASSERT_EQ(UpdateFrame(), 1.0);
        const bool copies = mode == 0.0 || mode == 1.0;
        for (const cv::Point p : {cv::Point(0, 0), cv::Point(20, 12), cv::Point(9, 5)}) {
            const cv::Vec3b expected = copies ? small.at<cv::Vec3b>(p) : cv::Vec3b(0, 0, 0);
            EXPECT_DOUBLE_EQ(IsColor(p.x, p.y, Packed(Probe)), Distance(expected, Probe)) << p;
            EXPECT_EQ(IsColor(p.x, p.y, Packed(expected)), 0.0) << p;
        }
        SetMode(1);
        ASSERT_EQ(UpdateFrame(), 1.0);
        EXPECT_EQ(IsColor(20, 12, Packed(small.at<cv::Vec3b>(12, 20))), 0.0) << "copied again in mode 1";
        UnloadCam();
    }
}

// What a host can tell of the mode from two updates over moving frames.
enum class Observed { Motion, Copy, Track, FetchOnly, Unclear };

const char* Name(Observed observed) {
    switch (observed) {
        case Observed::Motion: return "motion";
        case Observed::Copy: return "copy";
        case Observed::Track: return "track";
        case Observed::FetchOnly: return "fetch only";
        case Observed::Unclear: return "unclear";
    }
    return "?";
}

// Sets the mode, shows a picture then the same picture moved, and reads what
// changed: the motion field, the copied picture, an object on the picture.
Observed ModeAfterSetMode(double mode) {
    const cv::Mat texture = TexturedFrame(72, 56, 5);
    const cv::Mat first = texture(cv::Rect(4, 4, 48, 36)).clone();
    const cv::Mat moved = texture(cv::Rect(6, 5, 48, 36)).clone();  // content 2 px left, 1 px up
    ScriptedCamera camera({first, first, moved});
    EXPECT_EQ(InitCam(), 1.0);
    EXPECT_EQ(ObjectAdd(24, 18), 0.0);
    EXPECT_EQ(SetMode(mode), 1.0);
    EXPECT_EQ(UpdateFrame(), 1.0);
    EXPECT_EQ(UpdateFrame(), 1.0);
    double fastest = 0;
    bool copied = true;
    for (int y = 0; y < 36; ++y) {
        for (int x = 0; x < 48; ++x) {
            fastest = std::max(fastest, IsMotion(x, y));
            copied = copied && IsColor(x, y, Packed(moved.at<cv::Vec3b>(y, x))) == 0.0;
        }
    }
    const bool tracked = std::abs(ObjectGetX(0) - 22.0) < 0.25 && std::abs(ObjectGetY(0) - 17.0) < 0.25;
    const bool still = ObjectGetX(0) == 24.0 && ObjectGetY(0) == 18.0;
    UnloadCam();
    if (fastest >= 1.0 && copied && still) return Observed::Motion;
    if (fastest == 0.0 && copied && still) return Observed::Copy;
    if (fastest == 0.0 && !copied && tracked) return Observed::Track;
    if (fastest == 0.0 && !copied && still) return Observed::FetchOnly;
    return Observed::Unclear;
}

// SetMode truncates toward zero (low 32 bits of the 64-bit whole part; NaN and
// reals beyond 64 bits give 0) and never refuses.
TEST_F(CameraLifecycle, SetModeTruncatesAndNeverRefuses) {
    const struct {
        double given;
        Observed observed;
    } cases[] = {{2.9, Observed::Track},     {-0.5, Observed::Motion},       {1.99, Observed::Copy},
                 {-1.5, Observed::FetchOnly}, {NaN, Observed::Motion},        {1e300, Observed::Motion},
                 {4294967298.0, Observed::Track}, {4294967297.5, Observed::Copy}, {3.0, Observed::FetchOnly}};
    for (const auto& c : cases) {
        EXPECT_STREQ(Name(ModeAfterSetMode(c.given)), Name(c.observed)) << "SetMode(" << c.given << ")";
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
