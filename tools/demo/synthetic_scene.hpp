// A synthetic camera for the demo and the tests: a textured background that
// drifts at a known sub-pixel speed, crossed by coloured shapes moving from 1.5
// to 12.5 px per frame, one of them a smoothly shaded disc with hardly any
// texture (as a hand is). Optionally the whole picture steps in brightness now
// and then, as a webcam's auto-exposure does. Every frame is computed from its
// index alone (same options, same index, same picture), and the scene knows
// exactly where everything is and which frames change exposure: the ground
// truth that the demo and the tests compare the library's answers with.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace torvane::demo {

class SyntheticScene {
public:
    struct Options {
        cv::Size size{640, 480};
        std::uint64_t seed = 20261211;
        // Steps of ExposureStepLevels grey levels, up or down, every
        // ExposureStepPeriod frames (see ExposureOffset).
        bool exposureSteps = false;
    };

    // Exposure: frames from ExposureFirstStep on add 0, +6, 0, -6, 0, +6, ...
    // grey levels to every channel (saturating), the value changing every
    // ExposureStepPeriod frames; each change is one step of 6 levels.
    static constexpr long ExposureFirstStep = 10;
    static constexpr long ExposureStepPeriod = 40;
    static constexpr int ExposureStepLevels = 6;

    // Background displacement per frame in pixels (content moving right and
    // down is positive): 0.4 px per frame, along a 3-4-5 diagonal.
    static constexpr double DriftX = 0.32;
    static constexpr double DriftY = 0.24;

    struct Shape {
        std::string name;       // "red disc", ...
        bool weaklyTextured = false;  // smooth shading only, no grain or stripes
        cv::Vec3b color;        // base colour, BGR
        cv::Point2d start;      // top-left corner of the shape's box at frame 0
        cv::Point2d velocity;   // pixels per frame
        cv::Mat texture;        // 8-bit BGR, the size of the shape's box
        cv::Mat coverage;       // 32-bit float 0..1, anti-aliased outline, same size
    };

    SyntheticScene() : SyntheticScene(Options{}) {}
    explicit SyntheticScene(Options options);

    cv::Size size() const { return options_.size; }
    const Options& options() const { return options_; }
    const std::vector<Shape>& shapes() const { return shapes_; }

    // Frame `index` as 8-bit BGR (index 0 is the first frame; negative indices
    // are allowed and simply run the motion backwards).
    void Render(long index, cv::Mat& frame) const;
    cv::Mat Render(long index) const;

    // How far the background has moved since frame 0.
    static cv::Point2d BackgroundOffset(long index) {
        return {DriftX * static_cast<double>(index), DriftY * static_cast<double>(index)};
    }

    // Grey levels added to every channel of frame `index` (0 without exposure
    // steps), and whether frame `index` differs in exposure from frame index - 1.
    int ExposureOffset(long index) const;
    bool IsExposureStep(long index) const { return ExposureOffset(index) != ExposureOffset(index - 1); }

    // Top-left corner of shape `shape`'s box in frame `index` (it wraps round
    // the picture so that shapes keep crossing it).
    cv::Point2d ShapeCorner(int shape, long index) const;

    // 8-bit mask, 255 where shape `shape` covers at least half of the pixel in
    // frame `index`; ShapesMask is the union of all shapes.
    cv::Mat ShapeMask(int shape, long index) const;
    cv::Mat ShapesMask(long index) const;
    // Ground truth of the motion from frame index - 1 to frame index, on frame
    // index's grid, where it can be judged. A window straddling a motion
    // boundary has no single right answer, so pixels within `band` of a
    // shape's outline in either frame are left out, and so are shape pixels
    // whose content was out of view one frame ago (beyond `band` of the
    // picture's edge, or under another shape).
    struct MotionTruth {
        cv::Mat shape;       // CV_32SC1: the shape whose speed the pixel should read; -1 elsewhere
        cv::Mat background;  // CV_8UC1: 255 where the pixel should read still (the drift is below 1 px)
    };
    MotionTruth TruthOfMotion(long index, int band) const;
    double Speed(int shape) const;

    // 32-bit signed labels: the index of the shape seen at each pixel of frame
    // `index` (the topmost where shapes overlap, by the same half-coverage
    // rule as ShapeMask), -1 where the background shows.
    cv::Mat ShapeLabels(long index) const;

private:
    Options options_;
    cv::Mat backgroundTiles_;  // 2 x 2 copies of one seamless background tile, 8-bit BGR
    cv::Size tileSize_;
    std::vector<Shape> shapes_;
};

}  // namespace torvane::demo
