// The demo's command line.
#pragma once

#include <cstdio>
#include <string>

namespace torvane::demo {

enum class SourceChoice {
    CameraOrSynthetic,  // the live camera, or the synthetic scene when none opens
    Video,              // a video file
    Synthetic,          // the synthetic scene, without trying the camera
};

struct DemoOptions {
    static constexpr long DefaultFrames = 300;
    static constexpr long MinFrames = 10;  // enough for every mode to run at least twice
    static constexpr long MaxFrames = 1000000;

    SourceChoice source = SourceChoice::CameraOrSynthetic;
    std::string videoPath;
    long frames = DefaultFrames;
    std::string outputFolder = "torvane-demo-output";
    bool show = false;
    bool exposureSteps = true;  // the synthetic scene steps in brightness now and then
    bool help = false;
};

// Reads the flags. On a bad command line returns false and says why in `error`.
bool ParseOptions(int argc, const char* const* argv, DemoOptions& options, std::string& error);

void PrintUsage(std::FILE* stream);

}  // namespace torvane::demo
