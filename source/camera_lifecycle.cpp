// Opening and closing the camera, fetching (and mirroring) one frame per
// update, keeping a copy of it, saving it, and handing each frame to the
// processing of the current mode.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "camera_state.hpp"
#include "imaging_windows.hpp"
#include "startup_notice.hpp"

namespace torvane {
namespace {

constexpr int CameraDevice = 0;
constexpr int MirrorLeftRight = 1;  // cv::flip code: around the vertical axis

// Brings a fetched frame to the 8-bit BGR layout every other step expects.
// Grey and BGRA cameras are converted; anything else is treated as no frame.
bool NormaliseToBgr(cv::Mat& frame, cv::Mat& scratch) {
    if (frame.empty() || frame.depth() != CV_8U) return false;
    switch (frame.channels()) {
        case 3: return true;
        case 1: cv::cvtColor(frame, scratch, cv::COLOR_GRAY2BGR); break;
        case 4: cv::cvtColor(frame, scratch, cv::COLOR_BGRA2BGR); break;
        default: return false;
    }
    cv::swap(frame, scratch);
    return true;
}

// Fetches the next frame into camera.frame; on failure the frame is dropped,
// so that nothing later reads a stale or half-written picture.
bool FetchFrame() {
    CameraState::Camera& camera = cameraState.camera;
    bool fetched = false;
    try {
        fetched = camera.capture && camera.capture->Read(camera.frame) &&
                  NormaliseToBgr(camera.frame, camera.fetchScratch);
    } catch (...) {
        // A camera backend that throws has delivered no frame, like one that says so.
        fetched = false;
    }
    if (!fetched) camera.frame.release();
    return fetched;
}

// Opens the camera; a backend that throws while opening counts as no camera.
std::unique_ptr<FrameSource> OpenCamera() {
    try {
        return OpenFrameSource(CameraDevice);
    } catch (...) {
        return nullptr;
    }
}

void RefreshKeptFrame() {
    CameraState::Images& images = cameraState.images;
    cameraState.camera.frame.copyTo(images.keptFrame);  // same size: copies into the existing image
    images.keptFrameHoldsPicture = true;
}

// The extension (with its dot) of the last path component, or "" when none.
std::string ExtensionOf(const std::string& fileName) {
    const size_t lastSeparator = fileName.find_last_of("/\\");
    const size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || (lastSeparator != std::string::npos && dot < lastSeparator)) return {};
    return fileName.substr(dot);
}

// Writes the whole buffer and reports success only if every byte reached the
// file and the file closed cleanly; a partial file is removed.
bool WriteWholeFile(const char* fileName, const std::vector<uchar>& bytes) {
    std::FILE* file = std::fopen(fileName, "wb");
    if (!file) return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = (std::fflush(file) == 0) && written;
    written = (std::fclose(file) == 0) && written;
    if (!written) std::remove(fileName);
    return written;
}

}  // namespace

void CreateWorkingImages(int width, int height) {
    CameraState::Images& images = cameraState.images;
    cameraState.camera.frameWidth = width;
    cameraState.camera.frameHeight = height;
    images.keptFrame = cv::Mat::zeros(height, width, CV_8UC3);
    images.grayCurrent = cv::Mat::zeros(height, width, CV_8UC1);
    images.grayPrevious = cv::Mat::zeros(height, width, CV_8UC1);
    images.flowX = cv::Mat::zeros(height, width, CV_32FC1);
    images.flowY = cv::Mat::zeros(height, width, CV_32FC1);
    images.grayHistory = GrayHistory::None;
    images.keptFrameHoldsPicture = false;
    images.pyramidPrevious.clear();
    images.pyramidCurrent.clear();
    images.pyramidPreviousReady = false;
}

bool InitCamera() {
    CameraState::Camera& camera = cameraState.camera;
    // A second InitCam while open starts afresh instead of leaking the old camera.
    UnloadCamera();
    camera.capture = OpenCamera();
    if (!camera.capture) {
        ShowNotice(NoticeCaption, NoticeCameraNotOpened);
        return false;
    }
    if (!FetchFrame()) {
        // The camera stays open; UpdateFrame adopts the first frame it delivers.
        ShowNotice(NoticeCaption, NoticeNoFirstFrame);
        return false;
    }
    CreateWorkingImages(camera.frame.cols, camera.frame.rows);
    ClearObjectTable();
    return true;
}

bool UpdateCameraFrame() {
    CameraState::Camera& camera = cameraState.camera;
    CameraState::Images& images = cameraState.images;
    if (!FetchFrame()) return false;
    if (cameraState.settings.flipEnabled) cv::flip(camera.frame, camera.frame, MirrorLeftRight);
    // A camera may change its size (or deliver its first frame late): adopt it.
    if (camera.frame.cols != camera.frameWidth || camera.frame.rows != camera.frameHeight) {
        CreateWorkingImages(camera.frame.cols, camera.frame.rows);
    }
    switch (cameraState.settings.mode) {
        case ModeMotion:
            MotionStep();
            RefreshKeptFrame();
            break;
        case ModeCopy:
            RefreshKeptFrame();
            images.grayHistory = GrayHistory::None;
            break;
        case ModeTrack:
            TrackingStep();
            break;
        default:
            images.grayHistory = GrayHistory::None;
            break;
    }
    return true;
}

bool SaveCurrentFrame(const char* fileName) {
    const cv::Mat& frame = cameraState.camera.frame;
    if (fileName == nullptr || *fileName == '\0' || frame.empty()) return false;
    const std::string extension = ExtensionOf(fileName);
    if (extension.size() < 2 || !cv::haveImageWriter(fileName)) return false;
    // Encode in memory and write ourselves: the image writer can claim success
    // for a file that a full disk cut short.
    std::vector<uchar> encoded;
    if (!cv::imencode(extension, frame, encoded) || encoded.empty()) return false;
    return WriteWholeFile(fileName, encoded);
}

void UnloadCamera() {
    CameraState::Camera& camera = cameraState.camera;
    CameraState::Images& images = cameraState.images;
    camera.capture.reset();
    camera.frame.release();
    camera.fetchScratch.release();
    CloseImagingWindows();
    images.keptFrame.release();
    images.grayCurrent.release();
    images.grayPrevious.release();
    images.flowX.release();
    images.flowY.release();
    images.motionWorkspace = MotionFieldWorkspace{};
    images.pyramidPrevious.clear();
    images.pyramidCurrent.clear();
    images.pyramidPreviousReady = false;
    images.grayHistory = GrayHistory::None;
    images.keptFrameHoldsPicture = false;
    // No images remain, so no pixel is inside the picture any more.
    camera.frameWidth = 0;
    camera.frameHeight = 0;
}

}  // namespace torvane
