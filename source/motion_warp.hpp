// The stages of the motion field around the window solve: the whole-frame
// brightness fit, the start of each level from the coarser one, and the warp of
// the previous picture onto the current one.
#pragma once

#include <opencv2/core.hpp>

namespace torvane {

// Previous picture brightness mapped onto the current one: gain * previous + offset.
struct BrightnessFit {
    float gain = 1.0f;
    float offset = 0.0f;
};

// Matches the two pictures' mean and spread, which motion barely changes while
// an exposure or gain step changes them wholesale. Identical pictures give
// exactly gain 1 and offset 0.
BrightnessFit FitBrightness(const cv::Mat& previousGray, const cv::Mat& currentGray);

// A level's start displacement from the coarser level's result: a 5x5 box
// average (it steadies the coarse estimate), bilinear x2 upsampling onto the
// given size, values doubled, and starts shorter than kStillStart set to exactly
// zero, so that still regions sample the previous picture in place.
constexpr float kStillStart = 0.125f;  // pixels at the finer level
void StartFromCoarser(const cv::Mat& coarseX, const cv::Mat& coarseY, cv::Size size, cv::Mat& startX,
                      cv::Mat& startY, cv::Mat& boxScratchX, cv::Mat& boxScratchY);

// warped(x, y) = 16 * (gain * P(x + startX, y + startY) + offset), P sampled
// bilinearly and the result rounded and clamped to the fixed-point range. A
// sample outside the previous picture gives 16 * T(x, y): a temporal difference
// of 0, so content that entered the frame does not pull on the window.
// previousGray, templateGray: CV_8UC1; start: CV_32FC1; warped: CV_16SC1, all one size.
// With useWideSimd, an AVX2 path (same result) runs where the CPU has AVX2 and
// the previous picture's buffer has two bytes of room after its last pixel, as
// the pyramid levels of the motion field have.
void WarpPrevious(const cv::Mat& previousGray, const cv::Mat& templateGray, const cv::Mat& startX,
                  const cv::Mat& startY, BrightnessFit fit, cv::Mat& warped, bool useWideSimd = true);
// The same with no motion: 16 * (gain * P(x, y) + offset).
void CorrectPrevious(const cv::Mat& previousGray, BrightnessFit fit, cv::Mat& corrected);

// Plain per-pixel version of WarpPrevious, the yardstick of the fast one.
void WarpPreviousReference(const cv::Mat& previousGray, const cv::Mat& templateGray, const cv::Mat& startX,
                           const cv::Mat& startY, BrightnessFit fit, cv::Mat& warped);

}  // namespace torvane
