#include "camera_seam.hpp"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include <utility>

namespace torvane {
namespace {

#if defined(__linux__)
// Camera 0 is a video device here. Asking for it directly also skips probing
// the still-camera backend, which leaks a USB device list on every attempt.
constexpr int CameraApi = cv::CAP_V4L2;
#else
constexpr int CameraApi = cv::CAP_ANY;
#endif

class VideoCaptureSource final : public FrameSource {
public:
    explicit VideoCaptureSource(cv::VideoCapture capture) : capture_(std::move(capture)) {}
    bool Read(cv::Mat& frame) override { return capture_.read(frame) && !frame.empty(); }

private:
    cv::VideoCapture capture_;
};

FrameSourceFactory& InstalledFactory() {
    static FrameSourceFactory factory;
    return factory;
}

}  // namespace

void SetFrameSourceFactory(FrameSourceFactory factory) { InstalledFactory() = std::move(factory); }

std::unique_ptr<FrameSource> OpenFrameSource(int device) {
    if (InstalledFactory()) return InstalledFactory()(device);
    // A missing camera is reported once, by the start-up notice; the imaging
    // library's own warning about it is held back while it tries, and the
    // host's log level comes back however the attempt ends.
    struct QuietLogging {
        cv::utils::logging::LogLevel hostLevel = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
        ~QuietLogging() { cv::utils::logging::setLogLevel(hostLevel); }
    } quiet;
    cv::VideoCapture capture;
    if (!capture.open(device, CameraApi) || !capture.isOpened()) return nullptr;
    return std::make_unique<VideoCaptureSource>(std::move(capture));
}

}  // namespace torvane
