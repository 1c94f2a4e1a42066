#include "synthetic_scene.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace torvane::demo {
namespace {

constexpr double TwoPi = 6.283185307179586;

// x modulo period, in [0, period).
double WrapInto(double x, double period) {
    const double wrapped = std::fmod(x, period);
    return wrapped < 0.0 ? wrapped + period : wrapped;
}

// Gaussian blur of a picture taken as one tile of an endless periodic plane,
// so that the result tiles without a seam.
cv::Mat PeriodicBlur(const cv::Mat& source, double sigma) {
    const int pad = std::min({static_cast<int>(std::ceil(4.0 * sigma)) + 1, source.cols, source.rows});
    cv::Mat padded;
    cv::copyMakeBorder(source, padded, pad, pad, pad, pad, cv::BORDER_WRAP);
    cv::GaussianBlur(padded, padded, cv::Size(0, 0), sigma, sigma, cv::BORDER_REFLECT);
    return padded(cv::Rect(pad, pad, source.cols, source.rows)).clone();
}

// Single-channel float noise blurred to the given grain, scaled to mean 0 and
// standard deviation 1.
cv::Mat SmoothNoise(cv::Size size, double grain, cv::RNG& rng) {
    cv::Mat noise(size, CV_32FC1);
    rng.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::Mat smooth = PeriodicBlur(noise, grain);
    cv::Scalar mean, deviation;
    cv::meanStdDev(smooth, mean, deviation);
    smooth = (smooth - mean[0]) / std::max(deviation[0], 1e-6);
    return smooth;
}

// A seamless background tile: a muted, slowly varying tint, a fine and a coarse
// grain, and scattered small light and dark blocks whose corners give a
// corner detector something to hold on to.
cv::Mat MakeBackgroundTile(cv::Size tileSize, cv::RNG& rng) {
    const cv::Mat fine = SmoothNoise(tileSize, 2.4, rng);
    const cv::Mat coarse = SmoothNoise(tileSize, 12.0, rng);
    cv::Mat tile(tileSize, CV_32FC3);
    for (int y = 0; y < tileSize.height; ++y) {
        const float* fineRow = fine.ptr<float>(y);
        const float* coarseRow = coarse.ptr<float>(y);
        cv::Vec3f* out = tile.ptr<cv::Vec3f>(y);
        const double wave = std::sin(TwoPi * y / tileSize.height);
        for (int x = 0; x < tileSize.width; ++x) {
            const double across = std::cos(TwoPi * x / tileSize.width);
            const double brightness = 118.0 + 16.0 * fineRow[x] + 22.0 * coarseRow[x];
            // Blue-grey to brown: enough colour to look like a room, far from the shapes' colours.
            out[x] = cv::Vec3f(static_cast<float>(brightness * (1.00 + 0.10 * across)),
                               static_cast<float>(brightness * (0.97 + 0.05 * wave)),
                               static_cast<float>(brightness * (0.92 - 0.10 * across)));
        }
    }
    // Blocks stay clear of the tile's border so that the tile still wraps seamlessly.
    const int margin = 24;
    const int blockCount = tileSize.area() / 6000;
    for (int i = 0; i < blockCount; ++i) {
        const int width = rng.uniform(8, 22), height = rng.uniform(8, 22);
        const int x = rng.uniform(margin, tileSize.width - margin - width);
        const int y = rng.uniform(margin, tileSize.height - margin - height);
        const float level = rng.uniform(0, 2) == 0 ? 45.0f : 215.0f;
        cv::rectangle(tile, cv::Rect(x, y, width, height), cv::Scalar(level, level, level * 0.95f), cv::FILLED);
    }
    cv::Mat tile8;
    PeriodicBlur(tile, 0.7).convertTo(tile8, CV_8UC3);
    return tile8;
}

enum class Outline { Disc, Square, Triangle, Ellipse };

// Anti-aliased coverage of an outline inside a box: drawn at 4x and averaged
// down. Every outline keeps 3 px clear of the box edge.
cv::Mat MakeCoverage(Outline outline, cv::Size box) {
    constexpr int Scale = 4;
    constexpr int Inset = 3 * Scale;
    const cv::Size big(box.width * Scale, box.height * Scale);
    cv::Mat drawn = cv::Mat::zeros(big, CV_8UC1);
    const cv::Point centre(big.width / 2, big.height / 2);
    const cv::Size halfAxes(big.width / 2 - Inset, big.height / 2 - Inset);
    switch (outline) {
        case Outline::Disc:
        case Outline::Ellipse:
            cv::ellipse(drawn, centre, halfAxes, 0.0, 0.0, 360.0, cv::Scalar(255), cv::FILLED, cv::LINE_8);
            break;
        case Outline::Square:
            cv::rectangle(drawn, cv::Rect(Inset, Inset, big.width - 2 * Inset, big.height - 2 * Inset),
                          cv::Scalar(255), cv::FILLED);
            break;
        case Outline::Triangle: {
            const std::vector<cv::Point> corners{{big.width / 2, Inset},
                                                 {big.width - Inset, big.height - Inset},
                                                 {Inset, big.height - Inset}};
            cv::fillConvexPoly(drawn, corners, cv::Scalar(255), cv::LINE_8);
            break;
        }
    }
    cv::Mat coverage;
    cv::resize(drawn, coverage, box, 0, 0, cv::INTER_AREA);
    coverage.convertTo(coverage, CV_32FC1, 1.0 / 255.0);
    return coverage;
}

// The shape's colour with a coarse grain and soft stripes in brightness: the
// grain is wider than a frame's step, so that a gradient-based motion field
// sees the shape move rather than alias.
cv::Mat MakeShapeTexture(cv::Vec3b color, cv::Size box, cv::RNG& rng) {
    const cv::Mat grain = SmoothNoise(box, 3.5, rng);
    const double stripeAngle = rng.uniform(0.0, TwoPi);
    const double stripeX = std::cos(stripeAngle) / 14.0, stripeY = std::sin(stripeAngle) / 14.0;
    cv::Mat texture(box, CV_8UC3);
    for (int y = 0; y < box.height; ++y) {
        const float* grainRow = grain.ptr<float>(y);
        cv::Vec3b* out = texture.ptr<cv::Vec3b>(y);
        for (int x = 0; x < box.width; ++x) {
            const double gain = 1.0 + 0.22 * grainRow[x] + 0.12 * std::sin(TwoPi * (x * stripeX + y * stripeY));
            for (int c = 0; c < 3; ++c) out[x][c] = cv::saturate_cast<uchar>(color[c] * gain + 12.0 * grainRow[x]);
        }
    }
    return texture;
}

// The colour shaded as a ball lit from the upper left, and nothing else: a
// smooth surface whose only detail is its slow change of brightness, as a hand
// or a face seen by a webcam.
cv::Mat MakeShadedTexture(cv::Vec3b color, cv::Size box) {
    const double centreX = 0.5 * (box.width - 1), centreY = 0.5 * (box.height - 1);
    const double radiusX = 0.5 * box.width, radiusY = 0.5 * box.height;
    const double lightX = -0.45, lightY = -0.45, lightZ = 0.77;
    cv::Mat texture(box, CV_8UC3);
    for (int y = 0; y < box.height; ++y) {
        cv::Vec3b* out = texture.ptr<cv::Vec3b>(y);
        for (int x = 0; x < box.width; ++x) {
            const double nx = (x - centreX) / radiusX, ny = (y - centreY) / radiusY;
            const double nz = std::sqrt(std::max(0.0, 1.0 - nx * nx - ny * ny));
            const double lit = std::max(0.0, lightX * nx + lightY * ny + lightZ * nz);
            const double gain = 0.7 + 0.55 * lit;  // about 1 on average over the disc
            for (int c = 0; c < 3; ++c) out[x][c] = cv::saturate_cast<uchar>(color[c] * gain);
        }
    }
    return texture;
}

}  // namespace

SyntheticScene::SyntheticScene(Options options) : options_(options) {
    CV_Assert(options_.size.width >= 64 && options_.size.height >= 48);
    cv::RNG rng(options_.seed);
    // A tile a quarter larger than the picture: no part of it repeats within one frame.
    tileSize_ = cv::Size(options_.size.width + options_.size.width / 4, options_.size.height + options_.size.height / 4);
    const cv::Mat tile = MakeBackgroundTile(tileSize_, rng);
    cv::repeat(tile, 2, 2, backgroundTiles_);

    const double w = options_.size.width, h = options_.size.height;
    const int unit = std::min(options_.size.width, options_.size.height);
    struct Plan {
        const char* name;
        Outline outline;
        cv::Vec3b color;
        double boxWidth, boxHeight;  // in units of the picture's shorter side
        double startX, startY;       // in units of the picture's width and height
        cv::Point2d velocity;        // pixels per frame
        bool weaklyTextured;
    };
    // Speeds of 1.5, 3.5, 6.5 and 12.5 px per frame: from a slow drift of the
    // hand to a fast wave, each half-way between two whole numbers so that the
    // integer part of the speed is never a coin toss. All four are in view,
    // apart, at frame 0 and again at frame 120 (the default demo's last motion frame).
    const Plan plans[] = {
        {"red disc", Outline::Disc, {40, 40, 210}, 0.21, 0.21, 0.0938, 0.125, {3.36, 0.98}, false},
        {"green square", Outline::Square, {60, 185, 50}, 0.19, 0.19, 0.0594, 0.3563, {-12.0, 3.5}, false},
        {"blue triangle", Outline::Triangle, {205, 105, 30}, 0.23, 0.20, 0.1562, 0.7083, {0.9, -1.2}, false},
        {"shaded disc", Outline::Disc, {110, 150, 200}, 0.25, 0.25, 0.3031, 0.4125, {-5.2, -3.9}, true},
    };
    for (const Plan& plan : plans) {
        Shape shape;
        shape.name = plan.name;
        shape.weaklyTextured = plan.weaklyTextured;
        shape.color = plan.color;
        const cv::Size box(static_cast<int>(plan.boxWidth * unit), static_cast<int>(plan.boxHeight * unit));
        shape.start = cv::Point2d(plan.startX * w, plan.startY * h);
        shape.velocity = plan.velocity;
        shape.texture =
            plan.weaklyTextured ? MakeShadedTexture(plan.color, box) : MakeShapeTexture(plan.color, box, rng);
        shape.coverage = MakeCoverage(plan.outline, box);
        shapes_.push_back(std::move(shape));
    }
}

int SyntheticScene::ExposureOffset(long index) const {
    if (!options_.exposureSteps || index < ExposureFirstStep) return 0;
    const long stepsTaken = (index - ExposureFirstStep) / ExposureStepPeriod;
    static constexpr int Cycle[] = {ExposureStepLevels, 0, -ExposureStepLevels, 0};
    return Cycle[stepsTaken % 4];
}

cv::Point2d SyntheticScene::ShapeCorner(int shape, long index) const {
    const Shape& s = shapes_.at(static_cast<size_t>(shape));
    const double boxWidth = s.coverage.cols, boxHeight = s.coverage.rows;
    // The box leaves the picture completely before it comes back on the other side.
    const double x = s.start.x + s.velocity.x * static_cast<double>(index);
    const double y = s.start.y + s.velocity.y * static_cast<double>(index);
    return {WrapInto(x + boxWidth, options_.size.width + boxWidth) - boxWidth,
            WrapInto(y + boxHeight, options_.size.height + boxHeight) - boxHeight};
}

namespace {

// A box moved by a sub-pixel amount: `warped` is one pixel wider and taller
// than `source` and is placed at `topLeft` in the picture.
void ShiftBySubpixel(const cv::Mat& source, cv::Point2d corner, int borderMode, cv::Mat& warped, cv::Point& topLeft) {
    topLeft = cv::Point(static_cast<int>(std::floor(corner.x)), static_cast<int>(std::floor(corner.y)));
    const cv::Matx23d shift(1, 0, corner.x - topLeft.x, 0, 1, corner.y - topLeft.y);
    cv::warpAffine(source, warped, shift, source.size() + cv::Size(1, 1), cv::INTER_LINEAR, borderMode);
}

}  // namespace

void SyntheticScene::Render(long index, cv::Mat& frame) const {
    const cv::Point2d offset = BackgroundOffset(index);
    // frame(x, y) = tile(x - offset.x, y - offset.y), read from the 2 x 2 tiles.
    const cv::Matx23d lookup(1, 0, WrapInto(-offset.x, tileSize_.width), 0, 1, WrapInto(-offset.y, tileSize_.height));
    cv::warpAffine(backgroundTiles_, frame, lookup, options_.size, cv::INTER_CUBIC | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REPLICATE);

    const cv::Rect picture(cv::Point(0, 0), options_.size);
    cv::Mat texture, coverage;
    for (int i = 0; i < static_cast<int>(shapes_.size()); ++i) {
        cv::Point topLeft, unused;
        ShiftBySubpixel(shapes_[i].texture, ShapeCorner(i, index), cv::BORDER_REPLICATE, texture, topLeft);
        ShiftBySubpixel(shapes_[i].coverage, ShapeCorner(i, index), cv::BORDER_CONSTANT, coverage, unused);
        const cv::Rect placed = cv::Rect(topLeft, coverage.size()) & picture;
        for (int y = placed.y; y < placed.y + placed.height; ++y) {
            cv::Vec3b* out = frame.ptr<cv::Vec3b>(y);
            const cv::Vec3b* in = texture.ptr<cv::Vec3b>(y - topLeft.y);
            const float* alpha = coverage.ptr<float>(y - topLeft.y);
            for (int x = placed.x; x < placed.x + placed.width; ++x) {
                const float a = alpha[x - topLeft.x];
                if (a <= 0.0f) continue;
                for (int c = 0; c < 3; ++c) {
                    out[x][c] = cv::saturate_cast<uchar>(out[x][c] * (1.0f - a) + in[x - topLeft.x][c] * a);
                }
            }
        }
    }
    const int exposure = ExposureOffset(index);
    if (exposure != 0) frame += cv::Scalar::all(exposure);  // saturating, as a sensor clips
}

cv::Mat SyntheticScene::Render(long index) const {
    cv::Mat frame;
    Render(index, frame);
    return frame;
}

cv::Mat SyntheticScene::ShapeMask(int shape, long index) const {
    cv::Mat mask = cv::Mat::zeros(options_.size, CV_8UC1);
    cv::Mat coverage;
    cv::Point topLeft;
    ShiftBySubpixel(shapes_.at(static_cast<size_t>(shape)).coverage, ShapeCorner(shape, index), cv::BORDER_CONSTANT,
                    coverage, topLeft);
    const cv::Rect placed = cv::Rect(topLeft, coverage.size()) & cv::Rect(cv::Point(0, 0), options_.size);
    if (placed.empty()) return mask;
    const cv::Mat inside = coverage(placed - topLeft) >= 0.5f;
    inside.copyTo(mask(placed));
    return mask;
}

cv::Mat SyntheticScene::ShapeLabels(long index) const {
    cv::Mat labels(options_.size, CV_32SC1, cv::Scalar(-1));
    // Shapes are drawn in order, so a later one covers an earlier one.
    for (int i = 0; i < static_cast<int>(shapes_.size()); ++i) labels.setTo(i, ShapeMask(i, index));
    return labels;
}

double SyntheticScene::Speed(int shape) const {
    const cv::Point2d velocity = shapes_.at(static_cast<size_t>(shape)).velocity;
    return std::hypot(velocity.x, velocity.y);
}

SyntheticScene::MotionTruth SyntheticScene::TruthOfMotion(long index, int band) const {
    const cv::Mat before = ShapeLabels(index - 1), after = ShapeLabels(index);
    const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * band + 1, 2 * band + 1));
    const cv::Rect inView(band, band, options_.size.width - 2 * band, options_.size.height - 2 * band);
    MotionTruth truth;
    truth.shape.create(options_.size, CV_32SC1);
    truth.shape.setTo(-1);
    for (int i = 0; i < static_cast<int>(shapes_.size()); ++i) {
        cv::Mat core;
        cv::erode(after == i, core, square, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
        const cv::Point2d velocity = shapes_[static_cast<size_t>(i)].velocity;
        for (int y = 0; y < core.rows; ++y) {
            const uchar* coreRow = core.ptr<uchar>(y);
            int* out = truth.shape.ptr<int>(y);
            for (int x = 0; x < core.cols; ++x) {
                if (coreRow[x] == 0) continue;
                const cv::Point source(cvRound(x - velocity.x), cvRound(y - velocity.y));
                if (inView.contains(source) && before.at<int>(source) == i) out[x] = i;
            }
        }
    }
    cv::Mat near;
    cv::dilate((before >= 0) | (after >= 0), near, square);
    truth.background = ~near;
    return truth;
}

cv::Mat SyntheticScene::ShapesMask(long index) const {
    cv::Mat mask = cv::Mat::zeros(options_.size, CV_8UC1);
    for (int i = 0; i < static_cast<int>(shapes_.size()); ++i) mask |= ShapeMask(i, index);
    return mask;
}

}  // namespace torvane::demo
