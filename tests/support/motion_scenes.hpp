// Frame pairs with known motion for judging the motion field as a host sees it.
//
// A pair is cut from a canvas larger than the frame: the previous frame is the
// canvas as it stands, the current one samples the canvas where each of its
// pixels' content was, so that content entering at the border is real picture.
// The truth is the velocity of every pixel of the CURRENT frame: what the host
// sees at p came from p - v in the previous frame.
//
// The measures split the frame the way the figures are judged and reported:
//   judged   - textured pixels (TexturedMask of the current frame before noise) whose content
//              was inside the previous frame;
//   entering - pixels whose content came from outside the previous frame;
//   border   - the 8 px border;
//   all      - every pixel.
#pragma once

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "scripted_camera.hpp"
#include "torvane.h"
#include "warp_fixture.hpp"

namespace torvane::testing {

constexpr int kFrameWidth = 640, kFrameHeight = 480;
constexpr int kJudgedBorder = 8;  // the border TexturedMask leaves out
constexpr double kRubberWhaleScale = 1.25;
// The second picture is smaller (512x384): scaled further so that a frame
// moving several pixels still cuts real picture on every side.
constexpr double kHomeScale = 1.4;

// True when the tests run under the address and undefined-behaviour sanitizers,
// where the slowest cases are left out.
constexpr bool kUnderSanitizers =
#ifdef TORVANE_TESTS_UNDER_SANITIZERS
    true;
#else
    false;
#endif

// ---------------------------------------------------------------- pictures

inline cv::Mat LoadGreyFloat(const std::string& fileName, double scale) {
    const cv::Mat colour = cv::imread(std::string(TORVANE_TEST_DATA_DIR) + "/" + fileName, cv::IMREAD_COLOR);
    CV_Assert(!colour.empty());
    cv::Mat grey, scaled, canvas;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, scaled, cv::Size(), scale, scale, cv::INTER_CUBIC);
    scaled.convertTo(canvas, CV_32F);
    return canvas;
}

inline const cv::Mat& RubberWhaleCanvas() {
    static const cv::Mat canvas = LoadGreyFloat("rubberwhale1.png", kRubberWhaleScale);
    return canvas;
}

inline const cv::Mat& HomeCanvas() {
    static const cv::Mat canvas = LoadGreyFloat("home.jpg", kHomeScale);
    return canvas;
}

// A textured scene of our own: smooth value noise at several scales under hard-
// edged shapes of random grey, so that it has corners, edges and shading.
inline cv::Mat SyntheticCanvas(cv::Size size, std::uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat canvas(size, CV_32F, cv::Scalar(0));
    const struct {
        int cell;
        double amplitude;
    } octaves[] = {{96, 60}, {32, 40}, {11, 30}, {4, 18}};
    for (const auto& octave : octaves) {
        cv::Mat coarse(size.height / octave.cell + 3, size.width / octave.cell + 3, CV_32F);
        rng.fill(coarse, cv::RNG::UNIFORM, -octave.amplitude, octave.amplitude);
        cv::Mat fine;
        cv::resize(coarse, fine, cv::Size(coarse.cols * octave.cell, coarse.rows * octave.cell), 0, 0, cv::INTER_CUBIC);
        canvas += fine(cv::Rect(octave.cell, octave.cell, size.width, size.height));
    }
    canvas += 128.0;
    const int shapes = size.area() / 6000;
    for (int i = 0; i < shapes; ++i) {
        const cv::Point centre(rng.uniform(0, size.width), rng.uniform(0, size.height));
        const int extent = rng.uniform(6, 40);
        const double grey = rng.uniform(30.0, 225.0);
        if (i % 2) {
            cv::circle(canvas, centre, extent, cv::Scalar(grey), cv::FILLED, cv::LINE_AA);
        } else {
            cv::rectangle(canvas, cv::Rect(centre, cv::Size(extent, rng.uniform(6, 40))), cv::Scalar(grey), cv::FILLED);
        }
    }
    cv::GaussianBlur(canvas, canvas, cv::Size(3, 3), 0.6);
    cv::min(cv::max(canvas, 10.0), 245.0, canvas);
    return canvas;
}

// ---------------------------------------------------------------- motions

// Where the content of current-frame pixel p was in the previous frame.
using SourceMap = std::function<cv::Point2d(cv::Point2d current)>;

inline SourceMap Translation(double dx, double dy) {
    return [=](cv::Point2d p) { return cv::Point2d(p.x - dx, p.y - dy); };
}

inline cv::Point2d FrameCentre(cv::Size frame) { return {(frame.width - 1) / 2.0, (frame.height - 1) / 2.0}; }

// The picture turns by `degrees` about the frame's centre (counter-clockwise on screen).
inline SourceMap TurnAboutCentre(cv::Size frame, double degrees) {
    cv::Mat inverse;
    cv::invertAffineTransform(cv::getRotationMatrix2D(FrameCentre(frame), degrees, 1.0), inverse);
    const cv::Matx23d backward(inverse);
    return [=](cv::Point2d p) {
        const cv::Vec2d source = backward * cv::Vec3d(p.x, p.y, 1);
        return cv::Point2d(source[0], source[1]);
    };
}

// The picture grows by `scale` about the frame's centre.
inline SourceMap ZoomAboutCentre(cv::Size frame, double scale) {
    const cv::Point2d centre = FrameCentre(frame);
    return [=](cv::Point2d p) { return centre + (p - centre) * (1.0 / scale); };
}

// The left half of the current frame moved by `left`, the right half by `right`.
inline SourceMap TwoHalves(cv::Size frame, cv::Point2d left, cv::Point2d right) {
    const double seam = frame.width / 2.0;
    return [=](cv::Point2d p) { return p - (p.x < seam ? left : right); };
}

// ---------------------------------------------------------------- frame pairs

struct MotionScene {
    cv::Mat previous, current;  // CV_8UC1, what the field is given
    cv::Mat truthX, truthY;     // CV_32FC1, velocity of each current pixel
    cv::Mat cameFromInside;     // CV_8UC1, 1 where p - v lies inside the previous frame
    cv::Mat currentWithoutNoise;  // the current frame before noise: where texture is judged
};

// Changes applied to the two frames before noise and rounding (float grey levels).
using Lighting = std::function<void(cv::Mat& previous, cv::Mat& current)>;

struct FrameOptions {
    double noiseSigma = 0;  // independent Gaussian noise on each frame
    std::uint64_t noiseSeed = 1;
    Lighting lighting;
};

inline float SampleBilinear(const cv::Mat& canvas, double x, double y) {
    const double x0 = std::floor(x), y0 = std::floor(y);
    const double fx = x - x0, fy = y - y0;
    if (x0 >= 0 && y0 >= 0 && x0 + 1 < canvas.cols && y0 + 1 < canvas.rows) {
        const float* top = canvas.ptr<float>(static_cast<int>(y0)) + static_cast<int>(x0);
        const float* bottom = top + canvas.step1();
        return static_cast<float>((top[0] * (1 - fx) + top[1] * fx) * (1 - fy) + (bottom[0] * (1 - fx) + bottom[1] * fx) * fy);
    }
    const auto at = [&](int column, int row) {
        return static_cast<double>(canvas.at<float>(cv::borderInterpolate(row, canvas.rows, cv::BORDER_REFLECT_101),
                                                    cv::borderInterpolate(column, canvas.cols, cv::BORDER_REFLECT_101)));
    };
    const int ix = static_cast<int>(x0), iy = static_cast<int>(y0);
    const double top = at(ix, iy) * (1 - fx) + at(ix + 1, iy) * fx;
    const double bottom = at(ix, iy + 1) * (1 - fx) + at(ix + 1, iy + 1) * fx;
    return static_cast<float>(top * (1 - fy) + bottom * fy);
}

// Noise, then rounding and saturation to 8 bits.
inline cv::Mat Quantise(const cv::Mat& light, double noiseSigma, cv::RNG& rng) {
    cv::Mat noisy = light.clone();
    if (noiseSigma > 0) {
        cv::Mat noise(light.size(), CV_32F);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, noiseSigma);
        noisy += noise;
    }
    cv::Mat frame;
    noisy.convertTo(frame, CV_8U);
    return frame;
}

inline MotionScene FinishScene(cv::Mat previousLight, cv::Mat currentLight, cv::Mat truthX, cv::Mat truthY,
                               cv::Mat cameFromInside, const FrameOptions& options) {
    if (options.lighting) options.lighting(previousLight, currentLight);
    cv::RNG rng(options.noiseSeed);
    MotionScene scene;
    scene.previous = Quantise(previousLight, options.noiseSigma, rng);
    scene.current = Quantise(currentLight, options.noiseSigma, rng);
    scene.currentWithoutNoise = options.noiseSigma > 0 ? Quantise(currentLight, 0, rng) : scene.current;
    scene.truthX = std::move(truthX);
    scene.truthY = std::move(truthY);
    scene.cameFromInside = std::move(cameFromInside);
    return scene;
}

// Cuts a pair of `frame` size from `canvas`, placed so that the previous frame
// and every source the motion reaches lie on the canvas where they can.
inline MotionScene MakeScene(const cv::Mat& canvas, cv::Size frame, const SourceMap& sourceOf,
                             const FrameOptions& options = {}) {
    cv::Mat truthX(frame, CV_32F), truthY(frame, CV_32F), cameFromInside(frame, CV_8U);
    std::vector<cv::Point2d> sources(static_cast<std::size_t>(frame.area()));
    double minX = 0, minY = 0, maxX = frame.width - 1, maxY = frame.height - 1;
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const cv::Point2d source = sourceOf(cv::Point2d(x, y));
            sources[static_cast<std::size_t>(y) * frame.width + x] = source;
            truthX.at<float>(y, x) = static_cast<float>(x - source.x);
            truthY.at<float>(y, x) = static_cast<float>(y - source.y);
            cameFromInside.at<std::uint8_t>(y, x) =
                source.x >= 0 && source.x <= frame.width - 1 && source.y >= 0 && source.y <= frame.height - 1;
            minX = std::min(minX, source.x), maxX = std::max(maxX, source.x);
            minY = std::min(minY, source.y), maxY = std::max(maxY, source.y);
        }
    }
    const cv::Point origin(static_cast<int>(std::floor((canvas.cols - 1 - (maxX - minX)) / 2 - minX)),
                           static_cast<int>(std::floor((canvas.rows - 1 - (maxY - minY)) / 2 - minY)));
    cv::Mat previousLight(frame, CV_32F), currentLight(frame, CV_32F);
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const cv::Point2d source = sources[static_cast<std::size_t>(y) * frame.width + x];
            previousLight.at<float>(y, x) = SampleBilinear(canvas, origin.x + x, origin.y + y);
            currentLight.at<float>(y, x) = SampleBilinear(canvas, origin.x + source.x, origin.y + source.y);
        }
    }
    return FinishScene(previousLight, currentLight, truthX, truthY, cameFromInside, options);
}

inline MotionScene MakeScene(const cv::Mat& canvas, const SourceMap& sourceOf, const FrameOptions& options = {}) {
    return MakeScene(canvas, cv::Size(kFrameWidth, kFrameHeight), sourceOf, options);
}

// ---------------------------------------------------------------- objects over a still picture

// An object (its own picture and coverage, 0..1) moving by a whole-pixel
// `motion` over the still background cut from `canvas`.
struct ObjectScene {
    MotionScene frames;
    cv::Mat insideDistance;   // CV_32F: distance of each object pixel to its outline (current position), else 0
    cv::Mat outsideDistance;  // CV_32F: distance of each background pixel to the object, else 0
    cv::Point2d motion;
};

inline ObjectScene MakeObjectScene(const cv::Mat& canvas, const cv::Mat& objectPicture, const cv::Mat& objectCoverage,
                                   cv::Point previousTopLeft, cv::Point motion) {
    const cv::Size frame(kFrameWidth, kFrameHeight);
    const cv::Rect cut((canvas.cols - frame.width) / 2, (canvas.rows - frame.height) / 2, frame.width, frame.height);
    const cv::Mat background = canvas(cut);
    const auto place = [&](cv::Point topLeft) {
        cv::Mat light = background.clone();
        cv::Mat region = light(cv::Rect(topLeft, objectPicture.size()));
        const cv::Mat blended = region.mul(1.0 - objectCoverage) + objectPicture.mul(objectCoverage);
        blended.copyTo(region);
        return light;
    };
    const cv::Point currentTopLeft = previousTopLeft + motion;
    cv::Mat object(frame, CV_8U, cv::Scalar(0));
    object(cv::Rect(currentTopLeft, objectPicture.size())).setTo(1, objectCoverage >= 0.5f);
    cv::Mat truthX(frame, CV_32F, cv::Scalar(0)), truthY(frame, CV_32F, cv::Scalar(0));
    truthX.setTo(motion.x, object);
    truthY.setTo(motion.y, object);

    ObjectScene scene;
    scene.frames = FinishScene(place(previousTopLeft), place(currentTopLeft), truthX, truthY,
                               cv::Mat(frame, CV_8U, cv::Scalar(1)), {});
    cv::distanceTransform(object, scene.insideDistance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    cv::distanceTransform(1 - object, scene.outsideDistance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    scene.motion = motion;
    return scene;
}

// A smoothly shaded disc, lit from one side: a weakly textured shape like a hand.
inline void ShadedDisc(int diameter, cv::Mat& picture, cv::Mat& coverage) {
    picture.create(diameter + 2, diameter + 2, CV_32F);
    coverage.create(picture.size(), CV_32F);
    const double radius = diameter / 2.0, centre = (picture.cols - 1) / 2.0;
    for (int y = 0; y < picture.rows; ++y) {
        for (int x = 0; x < picture.cols; ++x) {
            const double dx = x - centre, dy = y - centre, r = std::hypot(dx, dy) / radius;
            picture.at<float>(y, x) = static_cast<float>(150 + 35 * dx / radius + 30 * (1 - std::min(r * r, 1.0)));
            coverage.at<float>(y, x) = static_cast<float>(std::clamp(radius - std::hypot(dx, dy) + 0.5, 0.0, 1.0));
        }
    }
}

// ---------------------------------------------------------------- readings and figures

// What IsMotion answers for a velocity: the whole part of its length, 0 when not finite.
inline float ReadingOf(float vx, float vy) {
    const double length = std::sqrt(static_cast<double>(vx) * vx + static_cast<double>(vy) * vy);
    return std::isfinite(length) ? static_cast<float>(std::floor(length)) : 0.0f;
}

inline cv::Mat ReadingsOfField(const cv::Mat& flowX, const cv::Mat& flowY) {
    cv::Mat readings(flowX.size(), CV_32F);
    for (int y = 0; y < flowX.rows; ++y) {
        for (int x = 0; x < flowX.cols; ++x) readings.at<float>(y, x) = ReadingOf(flowX.at<float>(y, x), flowY.at<float>(y, x));
    }
    return readings;
}

// The frames as a camera delivers them: three equal channels, so the grey image
// the library makes is the frame itself whatever channel weights it uses.
inline cv::Mat AsCameraFrame(const cv::Mat& grey) {
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

// Shows `previous` then `current` to the library through the scripted camera in
// mode 0 and reads IsMotion at every pixel. The library must be freshly loaded.
inline void ReadThroughHost(const cv::Mat& previous, const cv::Mat& current, cv::Mat& readings) {
    ScriptedCamera camera({AsCameraFrame(previous), AsCameraFrame(previous), AsCameraFrame(current)});
    ASSERT_EQ(InitCam(), 1.0);
    SetMode(0);
    ASSERT_EQ(UpdateFrame(), 1.0);  // the first step has no previous picture
    ASSERT_EQ(UpdateFrame(), 1.0);
    readings.create(current.size(), CV_32F);
    for (int y = 0; y < current.rows; ++y) {
        for (int x = 0; x < current.cols; ++x) readings.at<float>(y, x) = static_cast<float>(IsMotion(x + 0.5, y + 0.5));
    }
    UnloadCam();
}

struct RegionFigures {
    long pixels = 0;
    double meanEndpointError = 0;  // NaN when no field was given (host readings only)
    double detected = 0;           // share reading >= 1 among pixels whose true speed is >= 1
    long movingPixels = 0;
    double wholePart = 0;          // share reading the true speed's whole part (speed <= 6.5, >= 0.1 from a whole number)
    long wholePartPixels = 0;
};

struct SceneFigures {
    RegionFigures judged, entering, border, all;
};

constexpr double kWholePartMaxSpeed = 6.5;
constexpr double kWholePartMinDistance = 0.1;

inline RegionFigures MeasureRegion(const MotionScene& scene, const cv::Mat& flowX, const cv::Mat& flowY,
                                   const cv::Mat& readings, const cv::Mat& region) {
    RegionFigures figures;
    double errorSum = 0;
    long detected = 0, agreeing = 0;
    const bool haveField = !flowX.empty();
    for (int y = 0; y < region.rows; ++y) {
        for (int x = 0; x < region.cols; ++x) {
            if (!region.at<std::uint8_t>(y, x)) continue;
            ++figures.pixels;
            const double tx = scene.truthX.at<float>(y, x), ty = scene.truthY.at<float>(y, x);
            const double speed = std::sqrt(tx * tx + ty * ty);
            const float reading = readings.at<float>(y, x);
            if (haveField) {
                const double ex = flowX.at<float>(y, x) - tx, ey = flowY.at<float>(y, x) - ty;
                errorSum += std::sqrt(ex * ex + ey * ey);
            }
            if (speed >= 1) {
                ++figures.movingPixels;
                detected += reading >= 1;
            }
            const double fraction = speed - std::floor(speed);
            if (speed <= kWholePartMaxSpeed && fraction >= kWholePartMinDistance && fraction <= 1 - kWholePartMinDistance) {
                ++figures.wholePartPixels;
                agreeing += reading == std::floor(speed);
            }
        }
    }
    const auto share = [](long part, long whole) { return whole ? static_cast<double>(part) / whole : 1.0; };
    figures.meanEndpointError = haveField && figures.pixels ? errorSum / figures.pixels : NAN;
    figures.detected = share(detected, figures.movingPixels);
    figures.wholePart = share(agreeing, figures.wholePartPixels);
    return figures;
}

inline cv::Mat BorderMask(cv::Size frame) {
    cv::Mat border(frame, CV_8U, cv::Scalar(1));
    if (frame.width > 2 * kJudgedBorder && frame.height > 2 * kJudgedBorder) {
        border(cv::Rect(kJudgedBorder, kJudgedBorder, frame.width - 2 * kJudgedBorder, frame.height - 2 * kJudgedBorder))
            .setTo(0);
    }
    return border;
}

// Figures of a field (flowX/flowY, may be empty) or of host readings alone.
inline SceneFigures MeasureScene(const MotionScene& scene, const cv::Mat& flowX, const cv::Mat& flowY,
                                 const cv::Mat& readings, const cv::Mat& extraExclusion = cv::Mat()) {
    // Texture of the picture itself, as the noise-free tests judge it: noise
    // would make flat parts look textured.
    cv::Mat judged = TexturedMask(scene.currentWithoutNoise) & scene.cameFromInside;
    if (!extraExclusion.empty()) judged &= extraExclusion == 0;
    SceneFigures figures;
    figures.judged = MeasureRegion(scene, flowX, flowY, readings, judged);
    figures.entering = MeasureRegion(scene, flowX, flowY, readings, scene.cameFromInside == 0);
    figures.border = MeasureRegion(scene, flowX, flowY, readings, BorderMask(scene.current.size()));
    figures.all = MeasureRegion(scene, flowX, flowY, readings, cv::Mat(scene.current.size(), CV_8U, cv::Scalar(1)));
    return figures;
}

inline std::string Describe(const RegionFigures& figures) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << figures.pixels << " px";
    if (!std::isnan(figures.meanEndpointError)) text << " EPE " << figures.meanEndpointError;
    text << std::setprecision(2);
    if (figures.movingPixels) text << " det " << 100 * figures.detected << "%";
    if (figures.wholePartPixels) text << " whole " << 100 * figures.wholePart << "%";
    return text.str();
}

// One short line per case in the test log, for the tables of figures.
inline void Report(const std::string& name, const SceneFigures& figures) {
    std::cout << "[ figures  ] " << name << " | judged " << Describe(figures.judged) << " | entering "
              << Describe(figures.entering) << " | border " << Describe(figures.border) << " | all "
              << Describe(figures.all) << std::endl;
}

inline void Report(const std::string& line) { std::cout << "[ figures  ] " << line << std::endl; }

// Share of pixels of `region` (all when empty) reading at least 1.
inline double ShareReadingMotion(const cv::Mat& readings, const cv::Mat& region = cv::Mat()) {
    const cv::Mat moving = readings >= 1;
    if (region.empty()) return static_cast<double>(cv::countNonZero(moving)) / static_cast<double>(readings.total());
    const int inRegion = cv::countNonZero(region);
    return inRegion ? static_cast<double>(cv::countNonZero(moving & region)) / inRegion : 0.0;
}

inline std::string Percent(double share, int digits = 3) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(digits) << 100 * share << "%";
    return text.str();
}

}  // namespace torvane::testing
