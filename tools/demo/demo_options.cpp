#include "demo_options.hpp"


namespace torvane::demo {
namespace {

// Decimal digits and nothing else (no sign, space or '+'), at most `limit`.
bool ParseCount(const char* text, long limit, long& value) {
    if (text == nullptr || *text == '\0') return false;
    long parsed = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
        parsed = parsed * 10 + (*digit - '0');
        if (parsed > limit) return false;  // also keeps a long run of digits from overflowing
    }
    value = parsed;
    return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, DemoOptions& options, std::string& error) {
    bool synthetic = false, video = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        // Flags that take a value read the next argument.
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                error = flag + " needs " + what;
                return nullptr;
            }
            return argv[++i];
        };
        if (flag == "-h" || flag == "--help") {
            options.help = true;
        } else if (flag == "--synthetic") {
            synthetic = true;
        } else if (flag == "--show") {
            options.show = true;
        } else if (flag == "--no-exposure-steps") {
            options.exposureSteps = false;
        } else if (flag == "--video") {
            const char* path = value("a video file");
            if (!path) return false;
            if (*path == '\0') {
                error = "--video needs a file name";
                return false;
            }
            options.videoPath = path;
            video = true;
        } else if (flag == "--output") {
            const char* folder = value("a folder");
            if (!folder) return false;
            if (*folder == '\0') {
                error = "--output needs a folder name";
                return false;
            }
            options.outputFolder = folder;
        } else if (flag == "--frames") {
            const char* count = value("a number of frames");
            if (!count) return false;
            if (!ParseCount(count, DemoOptions::MaxFrames, options.frames) || options.frames < DemoOptions::MinFrames) {
                error = "--frames needs a whole number from " + std::to_string(DemoOptions::MinFrames) + " to " +
                        std::to_string(DemoOptions::MaxFrames) + ", not '" + count + "'";
                return false;
            }
        } else {
            error = "unknown argument '" + flag + "'";
            return false;
        }
    }
    if (synthetic && video) {
        error = "--synthetic and --video each choose the source: give one of them";
        return false;
    }
    options.source = synthetic ? SourceChoice::Synthetic : video ? SourceChoice::Video : SourceChoice::CameraOrSynthetic;
    return true;
}

void PrintUsage(std::FILE* stream) {
    std::fprintf(stream,
                 "Usage: torvane-demo [-h] [--synthetic | --video FILE] [--frames N] [--output DIR] [--show]\n"
                 "\n"
                 "Drives the Torvane library the way a host does (InitCam, then UpdateFrame and\n"
                 "probes every frame, UnloadCam at the end) through its three modes: motion,\n"
                 "colour and tracked objects, mirroring the picture once on the way.\n"
                 "\n"
                 "Source (default: camera 0, or the built-in synthetic scene when no camera opens):\n"
                 "  --synthetic     use the synthetic scene: a textured background drifting at\n"
                 "                  0.4 px/frame crossed by four shapes at 1.5 to 12.5 px/frame,\n"
                 "                  one of them a smooth shaded disc; the whole picture steps by\n"
                 "                  6 grey levels every 40 frames, as a webcam's exposure does\n"
                 "  --no-exposure-steps\n"
                 "                  keep the synthetic scene's exposure steady\n"
                 "  --video FILE    read the frames from a video file\n"
                 "\n"
                 "Run:\n"
                 "  --frames N      number of frames to process (%ld to %ld, default %ld; a video\n"
                 "                  shorter than that ends the run early)\n"
                 "  --output DIR    folder for annotated.avi, contact-sheet.png and key-frames/\n"
                 "                  (created if needed; default ./torvane-demo-output)\n"
                 "  --show          also show the annotated frames in a window (needs DISPLAY)\n"
                 "  -h, --help      print this text\n",
                 DemoOptions::MinFrames, DemoOptions::MaxFrames, DemoOptions::DefaultFrames);
}

}  // namespace torvane::demo
