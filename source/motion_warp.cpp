// Brightness fit, level starts and the warp of the previous picture. See motion_warp.hpp.
#include "motion_warp.hpp"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "window_solve.hpp"

namespace torvane {
namespace {

// Spreads below this (grey levels) carry no gain information: a flat picture.
constexpr double kMinSpreadForGain = 2.0;
// A real exposure or gain step stays well inside this range.
constexpr double kMinGain = 0.5, kMaxGain = 2.0;

inline int ClampIndex(int index, int size) { return std::min(std::max(index, 0), size - 1); }

inline std::int16_t ToFixed(float value) {
    const float scaled = std::floor(value * static_cast<float>(kWarpFixedScale) + 0.5f);
    return static_cast<std::int16_t>(
        std::min(std::max(scaled, static_cast<float>(kWarpFixedMin)), static_cast<float>(kWarpFixedMax)));
}

// One bilinear sample of the previous picture at (x + startX, y + startY), corrected;
// the template's own value when the sample falls outside. Shared by both paths.
inline std::int16_t WarpedSample(const cv::Mat& previous, const cv::Mat& image, int x, int y, float startX,
                                 float startY, BrightnessFit fit) {
    const int width = previous.cols, height = previous.rows;
    const float sampleX = static_cast<float>(x) + startX;
    const float sampleY = static_cast<float>(y) + startY;
    // Written so that NaN counts as outside.
    if (!(sampleX >= 0.0f && sampleX <= static_cast<float>(width - 1) && sampleY >= 0.0f &&
          sampleY <= static_cast<float>(height - 1))) {
        return static_cast<std::int16_t>(kWarpFixedScale * image.at<std::uint8_t>(y, x));
    }
    const int left = std::min(static_cast<int>(sampleX), std::max(width - 2, 0));
    const int top = std::min(static_cast<int>(sampleY), std::max(height - 2, 0));
    const int right = std::min(left + 1, width - 1), bottom = std::min(top + 1, height - 1);
    const float fractionX = sampleX - static_cast<float>(left);
    const float fractionY = sampleY - static_cast<float>(top);
    const std::uint8_t* upper = previous.ptr<std::uint8_t>(top);
    const std::uint8_t* lower = previous.ptr<std::uint8_t>(bottom);
    const float upperValue = upper[left] + fractionX * static_cast<float>(upper[right] - upper[left]);
    const float lowerValue = lower[left] + fractionX * static_cast<float>(lower[right] - lower[left]);
    const float sample = upperValue + fractionY * (lowerValue - upperValue);
    return ToFixed(fit.gain * sample + fit.offset);
}

// The corrected previous values of one row, no motion: the path of every still run.
void CorrectRow(const std::uint8_t* previous, BrightnessFit fit, std::int16_t* corrected, int from, int to) {
    for (int x = from; x < to; ++x) corrected[x] = ToFixed(fit.gain * static_cast<float>(previous[x]) + fit.offset);
}

class WarpLoop : public cv::ParallelLoopBody {
public:
    WarpLoop(const cv::Mat& previous, const cv::Mat& image, const cv::Mat& startX, const cv::Mat& startY,
             BrightnessFit fit, cv::Mat& warped)
        : previous_(previous), image_(image), startX_(startX), startY_(startY), fit_(fit), warped_(warped) {}

    void operator()(const cv::Range& rows) const override {
        constexpr int kRun = 8;  // starts are checked for stillness this many at a time
        const int width = image_.cols;
        for (int y = rows.start; y < rows.end; ++y) {
            const float* rowX = startX_.ptr<float>(y);
            const float* rowY = startY_.ptr<float>(y);
            std::int16_t* out = warped_.ptr<std::int16_t>(y);
            for (int x = 0; x < width; x += kRun) {
                const int end = std::min(x + kRun, width);
                bool still = true;
                for (int i = x; i < end; ++i) still = still && rowX[i] == 0.0f && rowY[i] == 0.0f;
                if (still) {
                    CorrectRow(previous_.ptr<std::uint8_t>(y), fit_, out, x, end);
                    continue;
                }
                for (int i = x; i < end; ++i) out[i] = WarpedSample(previous_, image_, i, y, rowX[i], rowY[i], fit_);
            }
        }
    }

private:
    const cv::Mat& previous_;
    const cv::Mat& image_;
    const cv::Mat& startX_;
    const cv::Mat& startY_;
    const BrightnessFit fit_;
    cv::Mat& warped_;
};

void CheckWarpInputs(const cv::Mat& previous, const cv::Mat& image, const cv::Mat& startX, const cv::Mat& startY) {
    CV_Assert(previous.type() == CV_8UC1 && image.type() == CV_8UC1 && previous.size() == image.size());
    CV_Assert(startX.type() == CV_32FC1 && startY.type() == CV_32FC1);
    CV_Assert(startX.size() == image.size() && startY.size() == image.size());
}

// 5-tap box average along one line with replicated ends.
void BoxLine(const float* source, int count, std::ptrdiff_t stride, float* target, std::ptrdiff_t targetStride) {
    for (int i = 0; i < count; ++i) {
        float sum = 0.0f;
        for (int offset = -2; offset <= 2; ++offset) sum += source[ClampIndex(i + offset, count) * stride];
        target[i * targetStride] = sum * 0.2f;
    }
}

// 5x5 box average with replicated borders: rows, then columns.
void BoxFilter5(const cv::Mat& source, cv::Mat& scratch, cv::Mat& target) {
    scratch.create(source.size(), CV_32FC1);
    target.create(source.size(), CV_32FC1);
    for (int y = 0; y < source.rows; ++y) BoxLine(source.ptr<float>(y), source.cols, 1, scratch.ptr<float>(y), 1);
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(scratch.step1());
    const std::ptrdiff_t targetStride = static_cast<std::ptrdiff_t>(target.step1());
    for (int x = 0; x < source.cols; ++x) {
        BoxLine(scratch.ptr<float>(0) + x, source.rows, stride, target.ptr<float>(0) + x, targetStride);
    }
}

// Coarse coordinate and weight of fine index i under x2 upsampling with pixel
// centres aligned: fine i sits at coarse (i + 0.5) / 2 - 0.5.
struct Tap {
    int near, far;
    float farWeight;
};
inline Tap UpsampleTap(int index, int coarseSize) {
    const int half = index >> 1;
    // Even indices lie a quarter pixel before a coarse centre, odd ones a quarter after.
    const int far = (index & 1) ? half + 1 : half - 1;
    return {ClampIndex(half, coarseSize), ClampIndex(far, coarseSize), 0.25f};
}

}  // namespace

BrightnessFit FitBrightness(const cv::Mat& previousGray, const cv::Mat& currentGray) {
    CV_Assert(previousGray.type() == CV_8UC1 && currentGray.type() == CV_8UC1);
    CV_Assert(previousGray.size() == currentGray.size() && !previousGray.empty());
    double sumPrevious = 0, sumCurrent = 0, squaresPrevious = 0, squaresCurrent = 0;
    for (int y = 0; y < previousGray.rows; ++y) {
        const std::uint8_t* previous = previousGray.ptr<std::uint8_t>(y);
        const std::uint8_t* current = currentGray.ptr<std::uint8_t>(y);
        for (int x = 0; x < previousGray.cols; ++x) {
            sumPrevious += previous[x];
            sumCurrent += current[x];
            squaresPrevious += static_cast<double>(previous[x]) * previous[x];
            squaresCurrent += static_cast<double>(current[x]) * current[x];
        }
    }
    const double count = static_cast<double>(previousGray.total());
    const double meanPrevious = sumPrevious / count, meanCurrent = sumCurrent / count;
    const double spreadPrevious = std::sqrt(std::max(squaresPrevious / count - meanPrevious * meanPrevious, 0.0));
    const double spreadCurrent = std::sqrt(std::max(squaresCurrent / count - meanCurrent * meanCurrent, 0.0));
    double gain = 1.0;
    if (spreadPrevious >= kMinSpreadForGain && spreadCurrent >= kMinSpreadForGain) {
        gain = std::min(std::max(spreadCurrent / spreadPrevious, kMinGain), kMaxGain);
    }
    BrightnessFit fit;
    fit.gain = static_cast<float>(gain);
    fit.offset = static_cast<float>(meanCurrent - gain * meanPrevious);
    return fit;
}

void StartFromCoarser(const cv::Mat& coarseX, const cv::Mat& coarseY, cv::Size size, cv::Mat& startX,
                      cv::Mat& startY, cv::Mat& boxScratchX, cv::Mat& boxScratchY) {
    CV_Assert(coarseX.type() == CV_32FC1 && coarseY.type() == CV_32FC1 && coarseX.size() == coarseY.size());
    const cv::Mat* coarse[2] = {&coarseX, &coarseY};
    cv::Mat* start[2] = {&startX, &startY};
    startX.create(size, CV_32FC1);
    startY.create(size, CV_32FC1);
    // Each component in turn: boxScratchX keeps the box's row pass, boxScratchY its result.
    for (int component = 0; component < 2; ++component) {
        BoxFilter5(*coarse[component], boxScratchX, boxScratchY);
        const cv::Mat& smooth = boxScratchY;
        for (int y = 0; y < size.height; ++y) {
            const Tap row = UpsampleTap(y, smooth.rows);
            const float* nearRow = smooth.ptr<float>(row.near);
            const float* farRow = smooth.ptr<float>(row.far);
            float* out = start[component]->ptr<float>(y);
            for (int x = 0; x < size.width; ++x) {
                const Tap column = UpsampleTap(x, smooth.cols);
                const float nearValue = nearRow[column.near] + column.farWeight * (nearRow[column.far] - nearRow[column.near]);
                const float farValue = farRow[column.near] + column.farWeight * (farRow[column.far] - farRow[column.near]);
                out[x] = 2.0f * (nearValue + row.farWeight * (farValue - nearValue));
            }
        }
    }
    constexpr float kStillStartSquared = kStillStart * kStillStart;
    for (int y = 0; y < size.height; ++y) {
        float* rowX = startX.ptr<float>(y);
        float* rowY = startY.ptr<float>(y);
        for (int x = 0; x < size.width; ++x) {
            // Written so that a NaN start also ends up still.
            if (!(rowX[x] * rowX[x] + rowY[x] * rowY[x] >= kStillStartSquared)) rowX[x] = rowY[x] = 0.0f;
        }
    }
}

void WarpPrevious(const cv::Mat& previousGray, const cv::Mat& templateGray, const cv::Mat& startX,
                  const cv::Mat& startY, BrightnessFit fit, cv::Mat& warped) {
    CheckWarpInputs(previousGray, templateGray, startX, startY);
    warped.create(templateGray.size(), CV_16SC1);
    const WarpLoop loop(previousGray, templateGray, startX, startY, fit, warped);
    const int rows = templateGray.rows;
    const int stripes = std::max(1, std::min(cv::getNumThreads(), rows / 32));
    if (stripes == 1) {
        loop(cv::Range(0, rows));
    } else {
        cv::parallel_for_(cv::Range(0, rows), loop, stripes);
    }
}

void CorrectPrevious(const cv::Mat& previousGray, BrightnessFit fit, cv::Mat& corrected) {
    CV_Assert(previousGray.type() == CV_8UC1);
    corrected.create(previousGray.size(), CV_16SC1);
    for (int y = 0; y < previousGray.rows; ++y) {
        CorrectRow(previousGray.ptr<std::uint8_t>(y), fit, corrected.ptr<std::int16_t>(y), 0, previousGray.cols);
    }
}

void WarpPreviousReference(const cv::Mat& previousGray, const cv::Mat& templateGray, const cv::Mat& startX,
                           const cv::Mat& startY, BrightnessFit fit, cv::Mat& warped) {
    CheckWarpInputs(previousGray, templateGray, startX, startY);
    warped.create(templateGray.size(), CV_16SC1);
    for (int y = 0; y < templateGray.rows; ++y) {
        for (int x = 0; x < templateGray.cols; ++x) {
            warped.at<std::int16_t>(y, x) = WarpedSample(previousGray, templateGray, x, y, startX.at<float>(y, x),
                                                         startY.at<float>(y, x), fit);
        }
    }
}

}  // namespace torvane
