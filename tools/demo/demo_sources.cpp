#include "demo_sources.hpp"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include <functional>
#include <utility>

#include "camera_seam.hpp"

namespace torvane::demo {
namespace {

using FrameReader = std::function<bool(cv::Mat&)>;

// Reads through `reader` and copies every delivered frame to the tap.
class TappedSource final : public FrameSource {
public:
    TappedSource(FrameReader reader, std::shared_ptr<FrameTap> tap) : reader_(std::move(reader)), tap_(std::move(tap)) {
        tap_->sourceOpened = true;
        tap_->framesDelivered = 0;
        tap_->frame.release();
    }
    bool Read(cv::Mat& frame) override {
        if (!reader_(frame) || frame.empty()) return false;
        frame.copyTo(tap_->frame);  // the library mirrors its own frame in place
        ++tap_->framesDelivered;
        return true;
    }

private:
    FrameReader reader_;
    std::shared_ptr<FrameTap> tap_;
};

// Opening a missing camera makes the video back ends log warnings of their
// own; the library's notice and the demo's one line say it better.
class QuietImagingLog {
public:
    QuietImagingLog() : previous_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)) {}
    ~QuietImagingLog() { cv::utils::logging::setLogLevel(previous_); }
    QuietImagingLog(const QuietImagingLog&) = delete;
    QuietImagingLog& operator=(const QuietImagingLog&) = delete;

private:
    cv::utils::logging::LogLevel previous_;
};

#if defined(__linux__)
// Camera numbers are video devices here. Asking that back end directly also
// skips the still-camera one, which leaks a USB device list on every attempt.
constexpr int CameraApi = cv::CAP_V4L2;
#else
constexpr int CameraApi = cv::CAP_ANY;
#endif

// Video files are read by these back ends, in this order. Leaving the rest
// out skips the still-camera back end, which would otherwise probe (and leak)
// the USB device list for every file it is asked about.
bool OpenVideoFile(const std::string& path, cv::VideoCapture& capture) {
    QuietImagingLog quiet;
    for (const int api : {cv::CAP_FFMPEG, cv::CAP_GSTREAMER, cv::CAP_OPENCV_MJPEG}) {
        if (capture.open(path, api) && capture.isOpened()) return true;
    }
    return false;
}

}  // namespace

void InstallCameraSource(std::shared_ptr<FrameTap> tap) {
    tap->sourceOpened = false;
    SetFrameSourceFactory([tap](int device) -> std::unique_ptr<FrameSource> {
        auto capture = std::make_shared<cv::VideoCapture>();
        {
            QuietImagingLog quiet;
            if (!capture->open(device, CameraApi) || !capture->isOpened()) return nullptr;
        }
        return std::make_unique<TappedSource>([capture](cv::Mat& frame) { return capture->read(frame); }, tap);
    });
}

void InstallVideoSource(const std::string& path, std::shared_ptr<FrameTap> tap) {
    tap->sourceOpened = false;
    SetFrameSourceFactory([path, tap](int) -> std::unique_ptr<FrameSource> {
        auto capture = std::make_shared<cv::VideoCapture>();
        if (!OpenVideoFile(path, *capture)) return nullptr;
        return std::make_unique<TappedSource>([capture](cv::Mat& frame) { return capture->read(frame); }, tap);
    });
}

void SyntheticFeed::Restart() {
    nextIndex_ = 0;
    ready_ = false;
}

void SyntheticFeed::Prepare() {
    if (ready_) return;
    scene_->Render(nextIndex_, prepared_);
    ready_ = true;
}

void SyntheticFeed::Take(cv::Mat& frame) {
    Prepare();
    prepared_.copyTo(frame);
    ready_ = false;
    ++nextIndex_;
}

void InstallSyntheticSource(std::shared_ptr<SyntheticFeed> feed, std::shared_ptr<FrameTap> tap) {
    tap->sourceOpened = false;
    SetFrameSourceFactory([feed, tap](int) -> std::unique_ptr<FrameSource> {
        feed->Restart();
        return std::make_unique<TappedSource>(
            [feed](cv::Mat& frame) {
                feed->Take(frame);
                return true;
            },
            tap);
    });
}

void RemoveFrameSource() { SetFrameSourceFactory({}); }

bool ProbeVideo(const std::string& path, VideoFacts& facts) {
    cv::VideoCapture capture;
    cv::Mat first;
    if (!OpenVideoFile(path, capture) || !capture.read(first) || first.empty()) return false;
    facts.size = first.size();
    const double count = capture.get(cv::CAP_PROP_FRAME_COUNT);
    facts.frameCount = count > 0 && count < 1e9 ? static_cast<long>(count) : 0;
    const double rate = capture.get(cv::CAP_PROP_FPS);
    facts.framesPerSecond = rate > 0 && rate < 1000 ? rate : 0.0;
    return true;
}

}  // namespace torvane::demo
