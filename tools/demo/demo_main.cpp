// torvane-demo: a host program that shows what the library sees. It calls the
// library exactly as any host does, through the fifteen exported calls, and
// only reaches inside to choose where frames come from (the camera seam).
//
// One run: InitCam, then a stretch in each mode (0 motion, 1 colour, 2 tracked
// objects, with the picture mirrored once on the way), UnloadCam. Every frame
// goes to an annotated video; a few key frames go to a contact sheet.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#if defined(TORVANE_DEMO_HAVE_WINDOW)
#  include <opencv2/highgui.hpp>
#endif

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "demo_options.hpp"
#include "demo_render.hpp"
#include "demo_sources.hpp"
#include "synthetic_scene.hpp"
#include "torvane.h"

namespace fs = std::filesystem;

namespace torvane::demo {
namespace {

constexpr int ExitRuntimeError = 1;
constexpr int ExitUsage = 2;

// The colour mode 1 looks for: the red of the synthetic scene's disc.
constexpr int ChosenRed = 210, ChosenGreen = 40, ChosenBlue = 40;
constexpr double ChosenColorPacked = ChosenRed + 256.0 * ChosenGreen + 65536.0 * ChosenBlue;
const cv::Scalar ChosenBgr(ChosenBlue, ChosenGreen, ChosenRed);

constexpr double DefaultFramesPerSecond = 30.0;
constexpr size_t TrailLength = 20;
constexpr int CornerObjectTarget = 12;
constexpr int MaxMissedInARow = 30;  // a camera that gives nothing for this long has gone

const char* const ModeNames[] = {"mode 0 (motion)", "mode 1 (colour)", "mode 2 (objects)"};

enum DemoMode { Motion = 0, Colour = 1, Objects = 2 };

// Which frames run in which mode, where the mirror switches, which frames go
// on the contact sheet. Frames are counted from 0 here (and shown from 1).
struct RunPlan {
    long total = 0;
    long colourStart = 0;
    long objectsStart = 0;
    long flipAt = 0;
    std::vector<long> keyFrames;

    explicit RunPlan(long frames) : total(frames) {
        colourStart = std::lround(0.4 * static_cast<double>(frames));
        objectsStart = colourStart + std::lround(0.2 * static_cast<double>(frames));
        flipAt = colourStart + (objectsStart - colourStart) / 2;
        keyFrames = {colourStart - 1, objectsStart - 1, objectsStart + (frames - objectsStart) / 2, frames - 1};
    }
    DemoMode ModeAt(long frame) const {
        return frame < colourStart ? Motion : frame < objectsStart ? Colour : Objects;
    }
    bool IsKeyFrame(long frame) const {
        return std::find(keyFrames.begin(), keyFrames.end(), frame) != keyFrames.end();
    }
};

using Clock = std::chrono::steady_clock;
double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

struct ModeTimings {
    std::vector<double> updateMs;           // one UpdateFrame call per frame
    std::vector<double> probeMsPerThousand;  // that frame's probes, per 1,000 calls
    long probesPerFrame = 0;
};

// The picture size the library reports now (0 x 0 without a frame).
cv::Size LibraryPictureSize() { return {static_cast<int>(GetWidth()), static_cast<int>(GetHeight())}; }

// Asks IsMotion about every pixel; returns the milliseconds it took.
double ProbeMotion(cv::Size size, cv::Mat& motion) {
    motion.create(size, CV_32FC1);
    const Clock::time_point start = Clock::now();
    for (int y = 0; y < size.height; ++y) {
        float* row = motion.ptr<float>(y);
        for (int x = 0; x < size.width; ++x) row[x] = static_cast<float>(IsMotion(x, y));
    }
    return MillisecondsSince(start);
}

// Asks IsColor about every pixel; returns the milliseconds it took.
double ProbeColor(cv::Size size, cv::Mat& distance) {
    distance.create(size, CV_32FC1);
    const Clock::time_point start = Clock::now();
    for (int y = 0; y < size.height; ++y) {
        float* row = distance.ptr<float>(y);
        for (int x = 0; x < size.width; ++x) row[x] = static_cast<float>(IsColor(x, y, ChosenColorPacked));
    }
    return MillisecondsSince(start);
}

// Ground truth of one tracked object on the synthetic scene: where the
// background under it should have taken it.
struct ObjectTruth {
    cv::Point2d start;
    long startSceneIndex = 0;
    bool disturbed = false;  // a shape came near: the object may rightly follow it instead
};

struct TrackedEntry {
    TrackedObject object;
    cv::Point2f home;  // where an object placed at a fixed point goes back to when it leaves the picture
    ObjectTruth truth;
};

// The motion check against the synthetic scene. Answers are read on the
// current frame's grid: a shape's pixel should read that shape's speed, the
// background (drifting 0.4 px per frame) should read 0, leaving out pixels
// within MotionExclusionBand of a shape's outline in either frame.
constexpr int MotionExclusionBand = 4;
constexpr double ShapeRightAtLeast = 0.90;           // IsMotion >= 1 and within 1 of the integer speed
constexpr double BackgroundMovingAtMost = 0.001;      // IsMotion >= 1 on ordinary frames
constexpr double StepBackgroundMovingAtMost = 0.003;  // the same right after an exposure step

struct PixelShare {
    long pixels = 0, hits = 0;
    double Share() const { return pixels > 0 ? static_cast<double>(hits) / static_cast<double>(pixels) : 0.0; }
};

// How the library's answers compare with the synthetic scene's ground truth.
struct SceneCheck {
    long motionSteps = 0, exposureStepFrames = 0;
    PixelShare shapesRight;                  // IsMotion >= 1 and within 1 of the true speed's integer part
    std::vector<PixelShare> shapeRight;      // the same, shape by shape
    PixelShare backgroundMoving;             // IsMotion >= 1, ordinary frames
    PixelShare stepBackgroundMoving;         // IsMotion >= 1, frames with an exposure step
    PixelShare backgroundStill;              // IsMotion == 0, every frame
    std::vector<double> trackErrors;
    std::vector<double> trackFrames;
};

class Demo {
public:
    explicit Demo(const DemoOptions& options) : options_(options) {}
    int Run();

private:
    bool PrepareOutputFolder();
    bool OpenSource();
    void RunFrames();
    void AfterUpdate(long frame, DemoMode mode);
    void PlaceObjects(const cv::Mat& picture, bool withFixedPlaces);
    void FollowObjects(ModeTimings& timings);
    void RetireObject(TrackedEntry& entry);
    void CheckMotionAgainstTruth(const cv::Mat& motion);
    void AddKeyFrame(long frame, DemoMode mode, const cv::Mat& picture);
    cv::Mat CurrentPicture() const;
    cv::Mat DisplayedShapesMask(long sceneIndex) const;
    cv::Point2d DisplayedDrift() const;
    long SceneIndex() const { return tap_->framesDelivered - 1; }
    void ReportProgress(long done, bool last) const;
    void FinishTruthChecks();
    void PrintSummary() const;
    void PrintMotionCheck() const;

    DemoOptions options_;
    fs::path output_;
    std::shared_ptr<FrameTap> tap_ = std::make_shared<FrameTap>();
    std::shared_ptr<SyntheticScene> scene_;  // set when the synthetic scene is the source
    std::shared_ptr<SyntheticFeed> feed_;
    std::string sourceName_;
    double framesPerSecond_ = DefaultFramesPerSecond;
    long plannedFrames_ = 0;
    long framesDone_ = 0;
    std::string endedEarly_;

    cv::VideoWriter video_;
    cv::Size videoSize_;
    bool showWindow_ = false;

    bool mirrored_ = false;
    long lastMotionFrame_ = -1, lastColourFrame_ = -1;
    cv::Mat lastMotionPicture_;  // the picture of the last motion step, under the heat map of held answers
    bool motionPrimed_ = false;
    std::vector<TrackedEntry> objects_;
    long objectFrames_ = 0;
    ModeTimings timings_[3];
    SceneCheck check_;
    std::vector<std::vector<SheetPanel>> sheetRows_;
    int keyFramesSaved_ = 0;
    cv::Mat motion_, distance_;
};

int Demo::Run() {
    if (options_.source == SourceChoice::Video) {
        VideoFacts facts;
        std::error_code error;
        const char* problem = !fs::is_regular_file(options_.videoPath, error) ? "no such file"
                              : !ProbeVideo(options_.videoPath, facts)    ? "not a video this build can read"
                                                                           : nullptr;
        if (problem != nullptr) {
            std::fprintf(stderr, "torvane-demo: cannot open video '%s': %s\n", options_.videoPath.c_str(), problem);
            return ExitRuntimeError;
        }
        if (facts.framesPerSecond > 0) framesPerSecond_ = facts.framesPerSecond;
        // InitCam reads the first frame; every update needs one more.
        if (facts.frameCount > 1) options_.frames = std::min(options_.frames, facts.frameCount - 1);
        if (options_.frames < DemoOptions::MinFrames) {
            std::fprintf(stderr, "torvane-demo: video '%s' is too short: it needs at least %ld frames\n",
                         options_.videoPath.c_str(), DemoOptions::MinFrames + 1);
            return ExitRuntimeError;
        }
    }
    if (!PrepareOutputFolder()) return ExitRuntimeError;
    if (!OpenSource()) {
        UnloadCam();
        RemoveFrameSource();
        return ExitRuntimeError;
    }

    const cv::Size size = LibraryPictureSize();
    plannedFrames_ = options_.frames;
    const fs::path videoPath = output_ / "annotated.avi";
    videoSize_ = size;
    if (!video_.open(videoPath.string(), cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                     framesPerSecond_, videoSize_)) {
        std::fprintf(stderr, "torvane-demo: cannot write the video '%s'\n", videoPath.string().c_str());
        UnloadCam();
        RemoveFrameSource();
        return ExitRuntimeError;
    }

    if (options_.show) {
#if defined(TORVANE_DEMO_HAVE_WINDOW)
        const char* display = std::getenv("DISPLAY");
        if (display != nullptr && *display != '\0') {
            showWindow_ = true;
            cv::namedWindow("torvane-demo", cv::WINDOW_AUTOSIZE);
        } else {
            std::printf("--show: no display (DISPLAY is not set); writing the files only.\n");
        }
#else
        std::printf("--show: this build has no window support; writing the files only.\n");
#endif
    }

    const RunPlan plan(plannedFrames_);
    std::printf("Source: %s, %dx%d.\n", sourceName_.c_str(), size.width, size.height);
    if (scene_) {
        if (scene_->options().exposureSteps) {
            std::printf("Exposure steps of %d grey levels, up or down, every %ld frames from frame %ld"
                        " (--no-exposure-steps turns them off).\n",
                        SyntheticScene::ExposureStepLevels, SyntheticScene::ExposureStepPeriod,
                        SyntheticScene::ExposureFirstStep);
        } else {
            std::printf("Exposure steady (--no-exposure-steps).\n");
        }
    }
    // Frames are numbered from 1 wherever the user sees them.
    std::printf("Plan: %ld frames: %s %ld-%ld, %s %ld-%ld (mirror switched on at %ld), %s %ld-%ld.\n", plan.total,
                ModeNames[0], 1L, plan.colourStart, ModeNames[1], plan.colourStart + 1, plan.objectsStart,
                plan.flipAt + 1, ModeNames[2], plan.objectsStart + 1, plan.total);
    std::fflush(stdout);

    RunFrames();

    UnloadCam();
    RemoveFrameSource();
    video_.release();
#if defined(TORVANE_DEMO_HAVE_WINDOW)
    if (showWindow_) cv::destroyAllWindows();
#endif

    const fs::path sheetPath = output_ / "contact-sheet.png";
    const std::string title = "torvane-demo: " + sourceName_ + ", " + std::to_string(framesDone_) + " frames";
    const bool sheetWritten = !sheetRows_.empty() && cv::imwrite(sheetPath.string(),
                                                                 ComposeContactSheet(title, sheetRows_, ChosenBgr));
    FinishTruthChecks();
    PrintSummary();
    std::printf("\nOutput folder: %s\n", output_.string().c_str());
    std::printf("  annotated.avi      %ld annotated frames (MJPG, %.0f frames/s)\n", framesDone_, framesPerSecond_);
    if (sheetWritten) {
        std::printf("  contact-sheet.png  %zu key frames: frame, IsMotion heat map, IsColor map, objects\n",
                    sheetRows_.size());
        std::printf("  key-frames/        %d of them as SaveFrame wrote them\n", keyFramesSaved_);
    } else if (sheetRows_.empty()) {
        // Only a run cut short gets here: every full run reaches its key frames.
        std::printf("  (no contact sheet: the run stopped before its first key frame)\n");
    } else {
        std::fprintf(stderr, "torvane-demo: could not write the contact sheet '%s'\n", sheetPath.string().c_str());
        return ExitRuntimeError;
    }
    return 0;
}

bool Demo::PrepareOutputFolder() {
    std::error_code error;
    output_ = fs::absolute(options_.outputFolder, error);
    if (!error) fs::create_directories(output_ / "key-frames", error);
    // Key frames of an earlier run would mix with this run's.
    if (!error) {
        for (const auto& entry : fs::directory_iterator(output_ / "key-frames", error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("frame-", 0) == 0 && entry.path().extension() == ".png") fs::remove(entry.path(), error);
        }
    }
    const fs::path probe = output_ / ".torvane-demo-write-test";
    if (!error) {
        std::ofstream(probe.string()) << "probe";
        if (!fs::exists(probe, error)) error = std::make_error_code(std::errc::permission_denied);
        std::error_code ignored;
        fs::remove(probe, ignored);
    }
    if (error) {
        std::fprintf(stderr, "torvane-demo: cannot write to output folder '%s': %s\n", options_.outputFolder.c_str(),
                     error.message().c_str());
        return false;
    }
    return true;
}

bool Demo::OpenSource() {
    auto openSynthetic = [this] {
        SyntheticScene::Options sceneOptions;
        sceneOptions.exposureSteps = options_.exposureSteps;
        scene_ = std::make_shared<SyntheticScene>(sceneOptions);
        feed_ = std::make_shared<SyntheticFeed>(scene_);
        InstallSyntheticSource(feed_, tap_);
        sourceName_ = "synthetic scene";
        return InitCam() == 1.0;
    };
    switch (options_.source) {
        case SourceChoice::Synthetic:
            return openSynthetic();
        case SourceChoice::Video:
            InstallVideoSource(options_.videoPath, tap_);
            sourceName_ = "video " + fs::path(options_.videoPath).filename().string();
            if (InitCam() == 1.0) return true;
            std::fprintf(stderr, "torvane-demo: cannot read video '%s'\n", options_.videoPath.c_str());
            return false;
        case SourceChoice::CameraOrSynthetic:
            break;
    }
    InstallCameraSource(tap_);
    sourceName_ = "camera 0";
    if (InitCam() == 1.0) return true;
    // A camera that opened but had no first frame yet stays open, and the
    // library adopts the first frame it delivers: ask a few more times.
    for (int attempt = 0; tap_->sourceOpened && attempt < MaxMissedInARow; ++attempt) {
        if (UpdateFrame() == 1.0) return true;
    }
    UnloadCam();
    std::printf("torvane-demo: no camera could be used (the library's notice above says why); "
                "running the built-in synthetic scene instead.\n");
    std::fflush(stdout);
    return openSynthetic();
}

cv::Mat Demo::CurrentPicture() const {
    cv::Mat picture = tap_->frame.clone();
    if (picture.channels() == 1) cv::cvtColor(picture, picture, cv::COLOR_GRAY2BGR);
    if (picture.channels() == 4) cv::cvtColor(picture, picture, cv::COLOR_BGRA2BGR);
    if (mirrored_) cv::flip(picture, picture, 1);
    return picture;
}

cv::Mat Demo::DisplayedShapesMask(long sceneIndex) const {
    cv::Mat mask = scene_->ShapesMask(sceneIndex);
    if (mirrored_) cv::flip(mask, mask, 1);
    return mask;
}

cv::Point2d Demo::DisplayedDrift() const {
    return {mirrored_ ? -SyntheticScene::DriftX : SyntheticScene::DriftX, SyntheticScene::DriftY};
}

void Demo::RunFrames() {
    const RunPlan plan(plannedFrames_);
    const bool video = options_.source == SourceChoice::Video;
    int missedInARow = 0;
    for (long frame = 0; frame < plan.total; ++frame) {
        const DemoMode mode = plan.ModeAt(frame);
        if (frame == 0 || frame == plan.colourStart || frame == plan.objectsStart) SetMode(mode);
        if (frame == plan.flipAt) {
            ToggleFlip();
            mirrored_ = !mirrored_;
        }
        if (feed_) feed_->Prepare();
        const Clock::time_point start = Clock::now();
        const bool fetched = UpdateFrame() == 1.0;
        const double updateMs = MillisecondsSince(start);
        if (!fetched) {
            if (video) {
                endedEarly_ = "the video ended after " + std::to_string(framesDone_) + " frames";
                break;
            }
            if (++missedInARow >= MaxMissedInARow) {
                endedEarly_ = "the camera stopped delivering frames";
                break;
            }
            continue;
        }
        missedInARow = 0;
        timings_[mode].updateMs.push_back(updateMs);
        AfterUpdate(frame, mode);
        ++framesDone_;
        ReportProgress(framesDone_, frame + 1 == plan.total);
        if (!endedEarly_.empty()) break;
        if (plan.IsKeyFrame(frame)) AddKeyFrame(frame, mode, CurrentPicture());
    }
}

void Demo::AfterUpdate(long frame, DemoMode mode) {
    const cv::Size size = LibraryPictureSize();
    const cv::Mat picture = CurrentPicture();
    ModeTimings& timings = timings_[mode];
    cv::Mat annotated;
    switch (mode) {
        case Motion: {
            const double ms = ProbeMotion(size, motion_);
            timings.probesPerFrame = static_cast<long>(size.area());
            timings.probeMsPerThousand.push_back(ms * 1000.0 / static_cast<double>(size.area()));
            // The first motion step has no earlier frame to compare with.
            if (motionPrimed_ && scene_) CheckMotionAgainstTruth(motion_);
            motionPrimed_ = true;
            lastMotionFrame_ = lastColourFrame_ = frame;
            lastMotionPicture_ = picture;
            annotated = AnnotateMotion(picture, motion_);
            break;
        }
        case Colour: {
            const double ms = ProbeColor(size, distance_);
            timings.probesPerFrame = static_cast<long>(size.area());
            timings.probeMsPerThousand.push_back(ms * 1000.0 / static_cast<double>(size.area()));
            motionPrimed_ = false;
            lastColourFrame_ = frame;
            annotated = AnnotateColor(picture, distance_, ChosenBgr);
            break;
        }
        case Objects: {
            motionPrimed_ = false;
            // The first tracking step only primes: objects go on the picture it saw.
            if (objectFrames_ == 0) {
                PlaceObjects(picture, true);
            } else {
                FollowObjects(timings);
                int corners = 0;
                for (const TrackedEntry& entry : objects_) corners += entry.object.fixedPlace ? 0 : 1;
                if (objectFrames_ % 30 == 0 && corners < CornerObjectTarget / 2) PlaceObjects(picture, false);
            }
            ++objectFrames_;
            std::vector<TrackedObject> drawn;
            for (const TrackedEntry& entry : objects_) drawn.push_back(entry.object);
            annotated = ObjectsPicture(picture, drawn);
            break;
        }
    }
    char banner[160];
    std::snprintf(banner, sizeof banner, "%s | frame %ld/%ld | mirror %s | %s", ModeNames[mode], frame + 1,
                  plannedFrames_, mirrored_ ? "on" : "off", sourceName_.c_str());
    if (annotated.size() != videoSize_) cv::resize(annotated, annotated, videoSize_);
    DrawBanner(annotated, banner);
    video_.write(annotated);
#if defined(TORVANE_DEMO_HAVE_WINDOW)
    if (showWindow_) {
        cv::imshow("torvane-demo", annotated);
        const int key = cv::waitKey(1);
        if (key == 27 || key == 'q') endedEarly_ = "stopped from the window";
    }
#endif
}

void Demo::PlaceObjects(const cv::Mat& picture, bool withFixedPlaces) {
    const cv::Size size = picture.size();
    auto add = [&](cv::Point2f at, bool fixedPlace) {
        const double id = ObjectAdd(at.x, at.y);
        if (id < 0) return false;  // the table is full
        TrackedEntry entry;
        entry.object.id = static_cast<int>(id);
        entry.object.fixedPlace = fixedPlace;
        entry.object.position = at;
        entry.object.trail.push_back(at);
        entry.home = at;
        entry.truth = {cv::Point2d(at), SceneIndex(), false};
        objects_.push_back(entry);
        return true;
    };
    if (withFixedPlaces) {
        for (const cv::Point2f& fraction : {cv::Point2f(0.25f, 0.25f), cv::Point2f(0.75f, 0.25f),
                                            cv::Point2f(0.25f, 0.75f), cv::Point2f(0.75f, 0.75f)}) {
            add(cv::Point2f(fraction.x * static_cast<float>(size.width), fraction.y * static_cast<float>(size.height)),
                true);
        }
    }
    // Strong corners, away from the edge and from objects already there.
    cv::Mat gray, allowed(size, CV_8UC1, cv::Scalar(0));
    cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
    const int margin = 16;
    if (size.width <= 2 * margin || size.height <= 2 * margin) return;
    allowed(cv::Rect(margin, margin, size.width - 2 * margin, size.height - 2 * margin)).setTo(255);
    for (const TrackedEntry& entry : objects_) cv::circle(allowed, entry.object.position, 24, cv::Scalar(0), cv::FILLED);
    int corners = 0;
    for (const TrackedEntry& entry : objects_) corners += entry.object.fixedPlace ? 0 : 1;
    std::vector<cv::Point2f> found;
    cv::goodFeaturesToTrack(gray, found, std::max(CornerObjectTarget - corners, 1), 0.05, 24.0, allowed);
    for (const cv::Point2f& corner : found) {
        if (!add(corner, false)) break;
    }
}

void Demo::FollowObjects(ModeTimings& timings) {
    const cv::Size size = LibraryPictureSize();
    // Read every position first (the timed probes), then act on them.
    const Clock::time_point start = Clock::now();
    for (TrackedEntry& entry : objects_) {
        entry.object.position = cv::Point2f(static_cast<float>(ObjectGetX(entry.object.id)),
                                            static_cast<float>(ObjectGetY(entry.object.id)));
    }
    const double ms = MillisecondsSince(start);
    const long probes = 2 * static_cast<long>(objects_.size());
    timings.probesPerFrame = probes;
    if (probes > 0) timings.probeMsPerThousand.push_back(ms * 1000.0 / static_cast<double>(probes));

    cv::Mat nearShapes;
    if (scene_) cv::dilate(DisplayedShapesMask(SceneIndex()), nearShapes, cv::Mat(), cv::Point(-1, -1), 24);
    const cv::Rect picture(cv::Point(0, 0), size);
    for (auto entry = objects_.begin(); entry != objects_.end();) {
        TrackedObject& object = entry->object;
        const bool inside = std::isfinite(object.position.x) && std::isfinite(object.position.y) &&
                            picture.contains(cv::Point(static_cast<int>(std::floor(object.position.x)),
                                                       static_cast<int>(std::floor(object.position.y))));
        if (!inside) {
            RetireObject(*entry);
            if (object.fixedPlace) {
                // Fixed places come back home; corners that left are let go.
                ObjectSetPosition(object.id, entry->home.x, entry->home.y);
                object.position = entry->home;
                object.trail.clear();
                entry->truth = {cv::Point2d(entry->home), SceneIndex(), false};
            } else {
                ObjectDelete(object.id);
                entry = objects_.erase(entry);
                continue;
            }
        }
        object.trail.push_back(object.position);
        if (object.trail.size() > TrailLength) object.trail.pop_front();
        if (scene_) {
            const long frames = SceneIndex() - entry->truth.startSceneIndex;
            const cv::Point2d expected = entry->truth.start + DisplayedDrift() * static_cast<double>(frames);
            const cv::Point at(cvRound(expected.x), cvRound(expected.y));
            if (!picture.contains(at) || nearShapes.at<uchar>(at) != 0) entry->truth.disturbed = true;
        }
        ++entry;
    }
}

// Compares an object's position with the drift of the background under it, if
// nothing but background was ever near it.
void Demo::RetireObject(TrackedEntry& entry) {
    if (!scene_ || entry.truth.disturbed) return;
    const long frames = SceneIndex() - entry.truth.startSceneIndex;
    if (frames < 10) return;
    const cv::Point2d expected = entry.truth.start + DisplayedDrift() * static_cast<double>(frames);
    check_.trackErrors.push_back(cv::norm(cv::Point2d(entry.object.position) - expected));
    check_.trackFrames.push_back(static_cast<double>(frames));
    entry.truth.disturbed = true;  // counted once
}

// Objects still on the background at the end of the run count too.
void Demo::FinishTruthChecks() {
    for (TrackedEntry& entry : objects_) RetireObject(entry);
}

void Demo::CheckMotionAgainstTruth(const cv::Mat& motion) {
    const long index = SceneIndex();
    SyntheticScene::MotionTruth truth = scene_->TruthOfMotion(index, MotionExclusionBand);
    if (mirrored_) {  // speeds are the same in the mirror
        cv::flip(truth.shape, truth.shape, 1);
        cv::flip(truth.background, truth.background, 1);
    }
    ++check_.motionSteps;
    check_.shapeRight.resize(scene_->shapes().size());
    for (int y = 0; y < motion.rows; ++y) {
        const int* shapeRow = truth.shape.ptr<int>(y);
        const float* motionRow = motion.ptr<float>(y);
        for (int x = 0; x < motion.cols; ++x) {
            if (shapeRow[x] < 0) continue;
            const double answer = motionRow[x];
            const double wholeSpeed = std::floor(scene_->Speed(shapeRow[x]));
            const bool right = answer >= 1.0 && std::abs(answer - wholeSpeed) <= 1.0;
            PixelShare& share = check_.shapeRight[static_cast<size_t>(shapeRow[x])];
            ++share.pixels;
            share.hits += right ? 1 : 0;
            ++check_.shapesRight.pixels;
            check_.shapesRight.hits += right ? 1 : 0;
        }
    }

    const long backgroundPixels = cv::countNonZero(truth.background);
    const long moving = cv::countNonZero(truth.background & (motion >= 1.0f));
    const bool exposureStep = scene_->IsExposureStep(index);
    check_.exposureStepFrames += exposureStep ? 1 : 0;
    PixelShare& share = exposureStep ? check_.stepBackgroundMoving : check_.backgroundMoving;
    share.pixels += backgroundPixels;
    share.hits += moving;
    check_.backgroundStill.pixels += backgroundPixels;
    check_.backgroundStill.hits += cv::countNonZero(truth.background & (motion == 0.0f));
}

void Demo::AddKeyFrame(long frame, DemoMode mode, const cv::Mat& picture) {
    const cv::Size size = LibraryPictureSize();
    // The frame panel is the library's own picture, as SaveFrame writes it.
    char name[48];
    std::snprintf(name, sizeof name, "frame-%04ld.png", frame + 1);
    const fs::path saved = output_ / "key-frames" / name;
    cv::Mat framePanel;
    if (SaveFrame(saved.string().c_str()) == 1.0) framePanel = cv::imread(saved.string(), cv::IMREAD_COLOR);
    const bool fromSaveFrame = !framePanel.empty();
    keyFramesSaved_ += fromSaveFrame ? 1 : 0;
    if (!fromSaveFrame) framePanel = picture;

    cv::Mat motion, distance;
    ProbeMotion(size, motion);
    ProbeColor(size, distance);
    std::vector<TrackedObject> drawn;
    for (const TrackedEntry& entry : objects_) drawn.push_back(entry.object);

    std::vector<SheetPanel> row(4);
    row[0] = {framePanel, "Frame " + std::to_string(frame + 1) + ", " + ModeNames[mode] + (mirrored_ ? ", mirrored" : ""),
              fromSaveFrame ? std::string("the picture as SaveFrame wrote it") : std::string("the picture"), false};
    const bool motionLive = mode == Motion;
    row[1] = {MotionHeatMap(lastMotionPicture_.empty() ? picture : lastMotionPicture_, motion),
              "IsMotion heat map (px/frame)",
              motionLive ? std::string("live: updated in mode 0")
                         : "held since frame " + std::to_string(lastMotionFrame_ + 1) + ": updated in mode 0 only",
              !motionLive};
    const bool colourLive = mode == Motion || mode == Colour;
    char colourTitle[64];
    std::snprintf(colourTitle, sizeof colourTitle, "IsColor distance to (%d, %d, %d)", ChosenRed, ChosenGreen,
                  ChosenBlue);
    row[2] = {ColorDistanceMap(distance), colourTitle,
              colourLive ? std::string("live: bright = near, dark = far")
                         : "held since frame " + std::to_string(lastColourFrame_ + 1) + ": updated in modes 0 and 1",
              !colourLive};
    if (drawn.empty()) {
        row[3] = {picture, "Tracked objects: ids and trails", "none yet: objects are placed in mode 2", true};
    } else {
        const double panelScale = static_cast<double>(SheetPanelWidth) / picture.cols;
        row[3] = {ObjectsPicture(picture, drawn, panelScale), "Tracked objects: ids and trails",
                  std::to_string(drawn.size()) + " objects; squares: placed at fixed points, circles: on corners",
                  mode != Objects};
    }
    sheetRows_.push_back(std::move(row));
}

void Demo::ReportProgress(long done, bool last) const {
    static const bool terminal = isatty(fileno(stderr)) != 0;
    if (terminal) {
        std::fprintf(stderr, "\rframes %ld/%ld%s", done, plannedFrames_, last ? "\n" : "");
    } else {
        // Into a log: a line at every tenth of the run.
        const long step = std::max(plannedFrames_ / 10, 1L);
        if (done % step == 0 || last) std::fprintf(stderr, "frames %ld/%ld\n", done, plannedFrames_);
    }
    std::fflush(stderr);
}

void Demo::PrintSummary() const {
    if (!endedEarly_.empty()) std::printf("Stopped early: %s.\n", endedEarly_.c_str());
    const char* const probeNames[] = {"IsMotion", "IsColor", "ObjectGetX/Y"};
    std::printf("\nMedian time per call, by mode (%s):\n",
                feed_ ? "frames rendered ahead, outside UpdateFrame"
                      : "UpdateFrame includes fetching each frame from the source");
    std::printf("  %-17s %7s %14s   %s\n", "", "frames", "UpdateFrame", "probes");
    for (int mode = 0; mode < 3; ++mode) {
        const ModeTimings& timings = timings_[mode];
        if (timings.updateMs.empty()) {
            std::printf("  %-17s %7d %14s\n", ModeNames[mode], 0, "(not reached)");
            continue;
        }
        std::printf("  %-17s %7zu %11.3f ms   %.4f ms per 1,000 %s calls (%ld per frame)\n", ModeNames[mode],
                    timings.updateMs.size(), Median(timings.updateMs), Median(timings.probeMsPerThousand),
                    probeNames[mode], timings.probesPerFrame);
    }
    if (!scene_) return;
    std::printf("\nAgainst the synthetic scene's ground truth:\n");
    PrintMotionCheck();
    if (check_.trackErrors.empty()) {
        std::printf("  no object stayed on the background for 10 frames or more (a longer run shows more)\n");
    } else {
        const auto worst = std::max_element(check_.trackErrors.begin(), check_.trackErrors.end());
        std::printf("  %zu objects on the background followed its known drift over a median of %.0f frames:"
                    " error median %.2f px, worst %.2f px\n",
                    check_.trackErrors.size(), Median(check_.trackFrames), Median(check_.trackErrors),
                    *worst);
    }
}

// The motion check's figures, each with its limit and a PASS or FAIL word.
void Demo::PrintMotionCheck() const {
    if (check_.motionSteps == 0) {
        std::printf("  motion: no motion step to check (a longer run has some)\n");
        return;
    }
    auto verdict = [](bool pass) { return pass ? "PASS" : "FAIL"; };
    std::printf("  motion over %ld frame pairs (%ld with an exposure step), pixels more than %d px from a shape's"
                " outline:\n",
                check_.motionSteps, check_.exposureStepFrames, MotionExclusionBand);
    const double shapes = check_.shapesRight.Share();
    std::printf("    moving shapes, IsMotion >= 1 and within 1 of the true speed's integer part: %.1f%% of %ld"
                " (limit >= %.0f%%) %s\n",
                100.0 * shapes, check_.shapesRight.pixels, 100.0 * ShapeRightAtLeast,
                verdict(check_.shapesRight.pixels > 0 && shapes >= ShapeRightAtLeast));
    std::printf("     ");
    for (size_t shape = 0; shape < check_.shapeRight.size(); ++shape) {
        const SyntheticScene::Shape& described = scene_->shapes()[shape];
        const double speed = std::hypot(described.velocity.x, described.velocity.y);
        if (check_.shapeRight[shape].pixels == 0) {
            std::printf(" %s %.1f px/frame: not in view;", described.name.c_str(), speed);
        } else {
            std::printf(" %s %.1f px/frame: %.1f%%;", described.name.c_str(), speed,
                        100.0 * check_.shapeRight[shape].Share());
        }
    }
    std::printf("\n");
    const double ordinary = check_.backgroundMoving.Share();
    std::printf("    background, IsMotion >= 1 on ordinary frames: %.3f%% of %ld (limit <= %.1f%%) %s\n",
                100.0 * ordinary, check_.backgroundMoving.pixels, 100.0 * BackgroundMovingAtMost,
                verdict(check_.backgroundMoving.pixels > 0 && ordinary <= BackgroundMovingAtMost));
    if (check_.stepBackgroundMoving.pixels > 0) {
        const double stepped = check_.stepBackgroundMoving.Share();
        std::printf("    background, IsMotion >= 1 on exposure-step frames (%+d or %+d grey levels): %.3f%% of %ld"
                    " (limit <= %.1f%%) %s\n",
                    SyntheticScene::ExposureStepLevels, -SyntheticScene::ExposureStepLevels, 100.0 * stepped,
                    check_.stepBackgroundMoving.pixels, 100.0 * StepBackgroundMovingAtMost,
                    verdict(stepped <= StepBackgroundMovingAtMost));
    } else {
        std::printf("    background, exposure-step frames: none in this run%s\n",
                    scene_->options().exposureSteps ? "" : " (--no-exposure-steps)");
    }
    std::printf("    background read as still (0): %.1f%%\n", 100.0 * check_.backgroundStill.Share());
}

}  // namespace
}  // namespace torvane::demo

int main(int argc, char** argv) {
    using namespace torvane::demo;
    DemoOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "torvane-demo: %s\n\n", error.c_str());
        PrintUsage(stderr);
        return ExitUsage;
    }
    if (options.help) {
        PrintUsage(stdout);
        return 0;
    }
    try {
        Demo demo(options);
        return demo.Run();
    } catch (const std::exception& failure) {
        UnloadCam();
        std::fprintf(stderr, "torvane-demo: %s\n", failure.what());
        return ExitRuntimeError;
    }
}
