// A synthetic camera for the demo and the tests: a textured background that
// drifts at a known sub-pixel speed, crossed by coloured, textured shapes that
// move at a few pixels per frame. Every frame is computed from its index alone
// (same options, same index, same picture), and the scene knows exactly where
// everything is: the ground truth that the demo and the tests compare the
// library's answers with.
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
    };

    // Background displacement per frame in pixels (content moving right and
    // down is positive): 0.4 px per frame, along a 3-4-5 diagonal.
    static constexpr double DriftX = 0.32;
    static constexpr double DriftY = 0.24;

    struct Shape {
        std::string name;       // "red disc", ...
        cv::Vec3b color;        // base colour, BGR
        cv::Point2d start;      // top-left corner of the shape's box at frame 0
        cv::Point2d velocity;   // pixels per frame
        cv::Mat texture;        // 8-bit BGR, the size of the shape's box
        cv::Mat coverage;       // 32-bit float 0..1, anti-aliased outline, same size
    };

    SyntheticScene() : SyntheticScene(Options{}) {}
    explicit SyntheticScene(Options options);

    cv::Size size() const { return options_.size; }
    const std::vector<Shape>& shapes() const { return shapes_; }

    // Frame `index` as 8-bit BGR (index 0 is the first frame; negative indices
    // are allowed and simply run the motion backwards).
    void Render(long index, cv::Mat& frame) const;
    cv::Mat Render(long index) const;

    // How far the background has moved since frame 0.
    static cv::Point2d BackgroundOffset(long index) {
        return {DriftX * static_cast<double>(index), DriftY * static_cast<double>(index)};
    }

    // Top-left corner of shape `shape`'s box in frame `index` (it wraps round
    // the picture so that shapes keep crossing it).
    cv::Point2d ShapeCorner(int shape, long index) const;

    // 8-bit mask, 255 where shape `shape` covers at least half of the pixel in
    // frame `index`; ShapesMask is the union of all shapes.
    cv::Mat ShapeMask(int shape, long index) const;
    cv::Mat ShapesMask(long index) const;

private:
    Options options_;
    cv::Mat backgroundTiles_;  // 2 x 2 copies of one seamless background tile, 8-bit BGR
    cv::Size tileSize_;
    std::vector<Shape> shapes_;
};

}  // namespace torvane::demo
