#include "scripted_camera.hpp"

#include <opencv2/imgproc.hpp>

#include "camera_seam.hpp"

namespace torvane::testing {

struct ScriptedCamera::Shared {
    FrameGenerator generator;
    bool canOpen = true;
    int openSources = 0;
    int timesOpened = 0;
    long framesRead = 0;
};

namespace {

class ScriptedSource final : public FrameSource {
public:
    explicit ScriptedSource(std::shared_ptr<ScriptedCamera::Shared> shared) : shared_(std::move(shared)) {
        ++shared_->openSources;
        ++shared_->timesOpened;
    }
    ~ScriptedSource() override { --shared_->openSources; }
    bool Read(cv::Mat& frame) override {
        const long index = shared_->framesRead++;
        return shared_->generator(index, frame) && !frame.empty();
    }

private:
    std::shared_ptr<ScriptedCamera::Shared> shared_;
};

FrameGenerator GeneratorFromList(std::vector<cv::Mat> frames, bool missAfterEnd) {
    return [frames = std::move(frames), missAfterEnd](long index, cv::Mat& frame) {
        if (frames.empty()) return false;
        if (index >= static_cast<long>(frames.size())) {
            if (missAfterEnd) return false;
            index = static_cast<long>(frames.size()) - 1;
        }
        const cv::Mat& scripted = frames[static_cast<size_t>(index)];
        if (scripted.empty()) return false;
        scripted.copyTo(frame);  // a copy: the library mirrors its frame in place
        return true;
    };
}

}  // namespace

ScriptedCamera::ScriptedCamera(std::vector<cv::Mat> frames, bool missAfterEnd)
    : ScriptedCamera(GeneratorFromList(std::move(frames), missAfterEnd)) {}

ScriptedCamera::ScriptedCamera(FrameGenerator generator) : shared_(std::make_shared<Shared>()) {
    shared_->generator = std::move(generator);
    std::weak_ptr<Shared> weak = shared_;
    SetFrameSourceFactory([weak](int) -> std::unique_ptr<FrameSource> {
        auto shared = weak.lock();
        if (!shared || !shared->canOpen) return nullptr;
        return std::make_unique<ScriptedSource>(shared);
    });
}

ScriptedCamera::~ScriptedCamera() { SetFrameSourceFactory({}); }

void ScriptedCamera::SetCanOpen(bool canOpen) { shared_->canOpen = canOpen; }

void ScriptedCamera::SetFrames(std::vector<cv::Mat> frames, bool missAfterEnd) {
    shared_->generator = GeneratorFromList(std::move(frames), missAfterEnd);
    shared_->framesRead = 0;
}

int ScriptedCamera::OpenSources() const { return shared_->openSources; }
int ScriptedCamera::TimesOpened() const { return shared_->timesOpened; }
long ScriptedCamera::FramesRead() const { return shared_->framesRead; }

cv::Mat TexturedFrame(int width, int height, int seed) {
    cv::Mat noise(height, width, CV_8UC3);
    cv::RNG rng(static_cast<uint64_t>(seed));
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::Mat frame;
    // Smoothed noise: texture at every scale the trackers look at.
    cv::GaussianBlur(noise, frame, cv::Size(0, 0), 1.5);
    return frame;
}

}  // namespace torvane::testing
