// Where the demo's frames come from: the live camera, a video file or the
// synthetic scene, installed through the library's camera seam. Every source
// also hands the demo a copy of each frame it gives the library (the tap), so
// that the demo can draw on the picture the library is looking at.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>

#include "synthetic_scene.hpp"

namespace torvane::demo {

// The frame last handed to the library, as the source delivered it (before
// the library's own mirroring).
struct FrameTap {
    cv::Mat frame;
    long framesDelivered = 0;  // frames delivered since the source was opened
    bool sourceOpened = false; // the factory opened a source (camera found)
};

// Each installs a factory used by the next InitCam; frames go to `tap` too.
void InstallCameraSource(std::shared_ptr<FrameTap> tap);
void InstallVideoSource(const std::string& path, std::shared_ptr<FrameTap> tap);
// The synthetic scene as a camera: frame k is the k-th frame read after
// InitCam opens it (InitCam reads frame 0). A real camera has its frame ready
// when asked; so that UpdateFrame's time is the library's own, Prepare()
// renders the next frame ahead, outside the call.
class SyntheticFeed {
public:
    explicit SyntheticFeed(std::shared_ptr<const SyntheticScene> scene) : scene_(std::move(scene)) {}
    const SyntheticScene& scene() const { return *scene_; }
    void Restart();   // the next frame is frame 0 again
    void Prepare();   // renders the next frame unless it is ready
    void Take(cv::Mat& frame);  // hands out the next frame

private:
    std::shared_ptr<const SyntheticScene> scene_;
    long nextIndex_ = 0;
    cv::Mat prepared_;
    bool ready_ = false;
};
void InstallSyntheticSource(std::shared_ptr<SyntheticFeed> feed, std::shared_ptr<FrameTap> tap);
// Back to the library's own camera.
void RemoveFrameSource();

struct VideoFacts {
    cv::Size size;
    long frameCount = 0;  // 0 when the container does not say
    double framesPerSecond = 0.0;
};

// Opens the video and reads its first frame; false when either fails.
bool ProbeVideo(const std::string& path, VideoFacts& facts);

}  // namespace torvane::demo
