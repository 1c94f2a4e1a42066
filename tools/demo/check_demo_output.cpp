// Reads back what a torvane-demo run wrote and checks that it holds real
// pictures: the annotated video has every frame and shows moving content, the
// contact sheet decodes and is not blank, and the key frames SaveFrame wrote
// decode at the video's size.
//
//   torvane_demo_output_check OUTPUT_FOLDER EXPECTED_FRAMES
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

int failures = 0;

void Check(bool condition, const std::string& what) {
    std::printf("%s %s\n", condition ? "ok  " : "FAIL", what.c_str());
    if (!condition) ++failures;
}

double Spread(const cv::Mat& picture) {
    cv::Scalar mean, deviation;
    cv::meanStdDev(picture, mean, deviation);
    return (deviation[0] + deviation[1] + deviation[2]) / 3.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: torvane_demo_output_check OUTPUT_FOLDER EXPECTED_FRAMES\n");
        return 2;
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    const fs::path folder = argv[1];
    const long expectedFrames = std::strtol(argv[2], nullptr, 10);

    // The video: every frame there, all the same size, content that changes.
    // Read back by whichever back end a player would use, not the one that wrote it.
    const fs::path videoPath = folder / "annotated.avi";
    cv::VideoCapture video;
    if (fs::is_regular_file(videoPath)) video.open(videoPath.string());
    Check(video.isOpened(), "annotated.avi opens");
    long frames = 0;
    cv::Size size;
    cv::Mat frame, first, last;
    double largestChange = 0.0;
    while (video.isOpened() && video.read(frame) && !frame.empty()) {
        if (frames == 0) {
            size = frame.size();
            first = frame.clone();
        } else if (frame.size() != size) {
            Check(false, "frame " + std::to_string(frames + 1) + " has the size of the first");
        } else {
            largestChange = std::max(largestChange, cv::norm(frame, last, cv::NORM_L1) / static_cast<double>(frame.total()));
        }
        last = frame.clone();
        ++frames;
    }
    Check(frames == expectedFrames,
          "annotated.avi has " + std::to_string(expectedFrames) + " frames (found " + std::to_string(frames) + ")");
    if (frames > 0) {
        Check(size.width >= 64 && size.height >= 48, "video frames are " + std::to_string(size.width) + "x" +
                                                         std::to_string(size.height));
        Check(Spread(first) > 10.0, "the first video frame is a picture, not a flat colour");
        // Consecutive frames of moving shapes differ by several grey levels per pixel on average.
        Check(largestChange > 2.0, "the video shows motion between frames");
    }

    // The contact sheet: decodes, is large enough to hold its panels, and is not blank.
    const cv::Mat sheet = cv::imread((folder / "contact-sheet.png").string(), cv::IMREAD_COLOR);
    Check(!sheet.empty(), "contact-sheet.png decodes");
    if (!sheet.empty()) {
        Check(sheet.cols >= 800 && sheet.rows >= 600,
              "contact sheet is " + std::to_string(sheet.cols) + "x" + std::to_string(sheet.rows));
        Check(Spread(sheet) > 20.0, "the contact sheet has content");
    }

    // The key frames SaveFrame wrote: pictures of the video's size.
    int keyFrames = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder / "key-frames", error)) {
        const cv::Mat keyFrame = cv::imread(entry.path().string(), cv::IMREAD_COLOR);
        Check(!keyFrame.empty() && keyFrame.size() == size && Spread(keyFrame) > 10.0,
              entry.path().filename().string() + " is a picture of the video's size");
        ++keyFrames;
    }
    Check(keyFrames == 4, "four key frames saved (found " + std::to_string(keyFrames) + ")");

    std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks failed");
    return failures == 0 ? 0 : 1;
}
