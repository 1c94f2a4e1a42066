// The dense motion field of mode 0 and the two pixel probes.
#include <opencv2/imgproc.hpp>

#include <cmath>

#include "camera_state.hpp"
#include "real_convert.hpp"

namespace torvane {

// Both grey conversions of this step use the RGB code on BGR pictures (so blue
// is weighed as red and red as blue); the tracking step uses the BGR code.
// Each mode keeps its own code, which is why each keeps its own grey history.
void MotionStep() {
    CameraState::Images& images = cameraState.images;
    cv::cvtColor(cameraState.camera.frame, images.grayCurrent, cv::COLOR_RGB2GRAY);
    if (!images.keptFrameHoldsPicture) {
        // No previous picture yet: report no motion rather than motion against a blank one.
        images.flowX.setTo(0.0f);
        images.flowY.setTo(0.0f);
        images.motionWorkspace.previous.levelCount = 0;  // no pyramid of grayPrevious to reuse next time
    } else {
        // The grey image of keptFrame, and its pyramid, are at hand when the last
        // update was a motion step: keptFrame is then that step's frame.
        const bool lastStepWasMotion = images.grayHistory == GrayHistory::MotionGray;
        if (!lastStepWasMotion) cv::cvtColor(images.keptFrame, images.grayPrevious, cv::COLOR_RGB2GRAY);
        ComputeMotionField(images.grayPrevious, images.grayCurrent, images.flowX, images.flowY, images.motionWorkspace,
                           0, lastStepWasMotion);
    }
    // This frame becomes keptFrame right after this step; keep its grey image beside it.
    cv::swap(images.grayPrevious, images.grayCurrent);
    images.grayHistory = GrayHistory::MotionGray;
}

double MotionAt(int x, int y) {
    const CameraState::Images& images = cameraState.images;
    const double vx = images.flowX.at<float>(y, x);
    const double vy = images.flowY.at<float>(y, x);
    // Whole pixels per frame; a magnitude that is not finite gives 0.
    return static_cast<double>(TruncateLow32Bits(std::sqrt(vx * vx + vy * vy)));
}

double ColorDistanceAt(int x, int y, uint32_t packedColor) {
    const cv::Vec3b pixel = cameraState.images.keptFrame.at<cv::Vec3b>(y, x);  // blue, green, red
    // Blue takes every bit from 16 up, unmasked, as the packing defines it.
    const double red = static_cast<double>(packedColor & 0xFFu) - pixel[2];
    const double green = static_cast<double>((packedColor >> 8) & 0xFFu) - pixel[1];
    const double blue = static_cast<double>(packedColor >> 16) - pixel[0];
    return std::sqrt(red * red + green * green + blue * blue);
}

}  // namespace torvane
