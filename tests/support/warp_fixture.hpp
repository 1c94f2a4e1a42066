// The test picture, warped by known motion, and the measures a motion field is
// judged by: mean endpoint error over textured pixels and the share of pixels
// read as moving.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <string>

namespace torvane::testing {

inline cv::Mat LoadTestPictureColour() {
    const std::string path = std::string(TORVANE_TEST_DATA_DIR) + "/rubberwhale1.png";
    const cv::Mat picture = cv::imread(path, cv::IMREAD_COLOR);
    CV_Assert(!picture.empty());
    return picture;
}

inline cv::Mat LoadTestPictureGrey() {
    cv::Mat grey;
    cv::cvtColor(LoadTestPictureColour(), grey, cv::COLOR_BGR2GRAY);
    return grey;
}

// Known motion as a forward map: content at p in the first frame is at motion * p in the second.
inline cv::Matx23d ShiftMotion(double dx, double dy) { return cv::Matx23d(1, 0, dx, 0, 1, dy); }

inline cv::Matx23d RotationAboutCentre(cv::Size size, double degrees) {
    const cv::Point2f centre(static_cast<float>(size.width - 1) / 2, static_cast<float>(size.height - 1) / 2);
    return cv::Matx23d(cv::getRotationMatrix2D(centre, degrees, 1.0));
}

inline cv::Mat WarpByMotion(const cv::Mat& picture, const cv::Matx23d& motion) {
    cv::Mat warped;
    cv::warpAffine(picture, warped, cv::Mat(motion), picture.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return warped;
}

inline cv::Point2d TrueVelocity(const cv::Matx23d& motion, int x, int y) {
    const cv::Vec2d moved = motion * cv::Vec3d(x, y, 1);
    return {moved[0] - x, moved[1] - y};
}

// Pixels a local method can be judged on: 8 px from the border, and the smaller
// eigenvalue of the 5x5 mean structure tensor (3x3 Sobel / 8) above 1.
inline cv::Mat TexturedMask(const cv::Mat& grey) {
    constexpr int kBorder = 8;
    constexpr float kMinEigenvalue = 1.0f;
    cv::Mat gradientX, gradientY;
    cv::Sobel(grey, gradientX, CV_32F, 1, 0, 3, 1.0 / 8);
    cv::Sobel(grey, gradientY, CV_32F, 0, 1, 3, 1.0 / 8);
    cv::Mat xx = gradientX.mul(gradientX), xy = gradientX.mul(gradientY), yy = gradientY.mul(gradientY);
    for (cv::Mat* plane : {&xx, &xy, &yy}) cv::boxFilter(*plane, *plane, -1, cv::Size(5, 5));
    cv::Mat mask(grey.size(), CV_8UC1, cv::Scalar(0));
    for (int y = kBorder; y < grey.rows - kBorder; ++y) {
        for (int x = kBorder; x < grey.cols - kBorder; ++x) {
            const float a = xx.at<float>(y, x), b = xy.at<float>(y, x), d = yy.at<float>(y, x);
            const float weak = (a + d) / 2 - std::sqrt((a - d) * (a - d) / 4 + b * b);
            if (weak > kMinEigenvalue) mask.at<std::uint8_t>(y, x) = 1;
        }
    }
    return mask;
}

struct FieldAccuracy {
    double meanEndpointError = 0;
    double wholePixelAgreement = 0;  // share where floor(|estimated|) == floor(|true|)
};

inline FieldAccuracy MeasureField(const cv::Mat& flowX, const cv::Mat& flowY, const cv::Matx23d& motion,
                                  const cv::Mat& mask) {
    double errorSum = 0;
    long agreeing = 0, counted = 0;
    for (int y = 0; y < mask.rows; ++y) {
        for (int x = 0; x < mask.cols; ++x) {
            if (!mask.at<std::uint8_t>(y, x)) continue;
            const cv::Point2d truth = TrueVelocity(motion, x, y);
            const cv::Point2d estimate(flowX.at<float>(y, x), flowY.at<float>(y, x));
            errorSum += cv::norm(estimate - truth);
            agreeing += std::floor(cv::norm(estimate)) == std::floor(cv::norm(truth));
            ++counted;
        }
    }
    CV_Assert(counted > 0);
    return {errorSum / static_cast<double>(counted), static_cast<double>(agreeing) / static_cast<double>(counted)};
}

inline cv::Mat WithGaussianNoise(const cv::Mat& grey, double sigma, cv::RNG& rng) {
    cv::Mat noise(grey.size(), CV_32FC1);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat noisy;
    grey.convertTo(noisy, CV_32F);
    noisy += noise;
    noisy.convertTo(noisy, CV_8U);  // rounds and saturates
    return noisy;
}

// Share of all pixels whose motion magnitude is at least `magnitude`.
inline double ShareMovingAtLeast(const cv::Mat& flowX, const cv::Mat& flowY, double magnitude) {
    cv::Mat length;
    cv::magnitude(flowX, flowY, length);
    return static_cast<double>(cv::countNonZero(length >= magnitude)) / static_cast<double>(length.total());
}

}  // namespace torvane::testing
