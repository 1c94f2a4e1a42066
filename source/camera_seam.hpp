// The one seam between the library and a camera. The shipped library opens a
// real device through OpenCV; tests, tools and demos install a factory that
// hands out scripted frame sources instead.
#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <memory>

namespace torvane {

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Grabs the next frame into `frame` (reusing its buffer when it can).
    // Returns false, leaving `frame` unspecified, when no frame came.
    virtual bool Read(cv::Mat& frame) = 0;
};

// Opens the camera with the given device number; null when it cannot be opened.
using FrameSourceFactory = std::function<std::unique_ptr<FrameSource>(int device)>;

// Installs the factory used by every later InitCam; an empty one restores the
// real camera.
void SetFrameSourceFactory(FrameSourceFactory factory);

// Opens a frame source through the installed factory (or the real camera).
std::unique_ptr<FrameSource> OpenFrameSource(int device);

}  // namespace torvane
