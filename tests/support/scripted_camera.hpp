// A scripted camera for tests, tools and benchmarks: installs itself through
// the camera seam for its lifetime, so that InitCam opens it instead of a
// real device.
#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace torvane::testing {

// Produces frame number `index` (counted over every read made through the
// camera, across reopenings). Returning false, or leaving `frame` empty, is a
// missed frame.
using FrameGenerator = std::function<bool(long index, cv::Mat& frame)>;

class ScriptedCamera {
public:
    // A camera that opens and serves `frames` in order (an empty Mat is a
    // missed frame); after the last one it repeats it, or misses forever when
    // `missAfterEnd` is set.
    explicit ScriptedCamera(std::vector<cv::Mat> frames, bool missAfterEnd = false);
    ScriptedCamera(std::initializer_list<cv::Mat> frames) : ScriptedCamera(std::vector<cv::Mat>(frames)) {}
    explicit ScriptedCamera(FrameGenerator generator);
    ~ScriptedCamera();
    ScriptedCamera(const ScriptedCamera&) = delete;
    ScriptedCamera& operator=(const ScriptedCamera&) = delete;

    void SetCanOpen(bool canOpen);     // false: InitCam finds no camera
    void SetFrames(std::vector<cv::Mat> frames, bool missAfterEnd = false);  // restarts the script
    int OpenSources() const;           // sources opened and not yet released
    int TimesOpened() const;
    long FramesRead() const;           // reads made, missed ones included

    struct Shared;  // what the camera and the sources it opened share

private:
    std::shared_ptr<Shared> shared_;
};

// A BGR picture of the given size with texture everywhere (deterministic).
cv::Mat TexturedFrame(int width, int height, int seed = 1);

}  // namespace torvane::testing
