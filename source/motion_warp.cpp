// Brightness fit, level starts and the warp of the previous picture. See motion_warp.hpp.
#include "motion_warp.hpp"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "window_solve.hpp"

// x86 builds carry an AVX2 warp next to the baseline one, chosen at run time.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define TORVANE_WARP_AVX2 1
#include <immintrin.h>
#endif

namespace torvane {
namespace {

// Spreads below this (grey levels) carry no gain information: a flat picture.
constexpr double kMinSpreadForGain = 2.0;
// A real exposure or gain step stays well inside this range.
constexpr double kMinGain = 0.5, kMaxGain = 2.0;

inline int ClampIndex(int index, int size) { return std::min(std::max(index, 0), size - 1); }

// Rounds a corrected sample to 16x fixed point and clamps it to the range the
// window sums allow. Adding kRoundingBias makes every clamped value positive, so
// that truncation rounds down; the SIMD paths run the same operations.
constexpr float kRoundingBias = 16384.0f;
inline std::int16_t ToFixed(float value) {
    float scaled = value * static_cast<float>(kWarpFixedScale) + 0.5f;
    scaled = std::min(std::max(scaled, static_cast<float>(kWarpFixedMin)), static_cast<float>(kWarpFixedMax) + 0.5f);
    return static_cast<std::int16_t>(static_cast<int>(scaled + kRoundingBias) - static_cast<int>(kRoundingBias));
}

#if CV_SIMD128
inline cv::v_int32x4 ToFixed(const cv::v_float32x4& value) {
    cv::v_float32x4 scaled = value * cv::v_setall_f32(static_cast<float>(kWarpFixedScale)) + cv::v_setall_f32(0.5f);
    scaled = cv::v_min(cv::v_max(scaled, cv::v_setall_f32(static_cast<float>(kWarpFixedMin))),
                       cv::v_setall_f32(static_cast<float>(kWarpFixedMax) + 0.5f));
    return cv::v_trunc(scaled + cv::v_setall_f32(kRoundingBias)) - cv::v_setall_s32(static_cast<int>(kRoundingBias));
}
#endif

// Bilinear sample from the previous picture at (sampleX, sampleY), known to lie inside.
inline float Bilinear(const cv::Mat& previous, float sampleX, float sampleY) {
    const int width = previous.cols, height = previous.rows;
    const int left = std::min(static_cast<int>(sampleX), std::max(width - 2, 0));
    const int top = std::min(static_cast<int>(sampleY), std::max(height - 2, 0));
    const int right = std::min(left + 1, width - 1), bottom = std::min(top + 1, height - 1);
    const float fractionX = sampleX - static_cast<float>(left);
    const float fractionY = sampleY - static_cast<float>(top);
    const std::uint8_t* upper = previous.ptr<std::uint8_t>(top);
    const std::uint8_t* lower = previous.ptr<std::uint8_t>(bottom);
    const float upperValue = upper[left] + fractionX * static_cast<float>(upper[right] - upper[left]);
    const float lowerValue = lower[left] + fractionX * static_cast<float>(lower[right] - lower[left]);
    return upperValue + fractionY * (lowerValue - upperValue);
}

inline bool InsidePicture(float sampleX, float sampleY, int width, int height) {
    // Written so that NaN counts as outside.
    return sampleX >= 0.0f && sampleX <= static_cast<float>(width - 1) && sampleY >= 0.0f &&
           sampleY <= static_cast<float>(height - 1);
}

// One warped sample: the corrected previous picture at (x + startX, y + startY),
// or the template's own value when the sample falls outside.
inline std::int16_t WarpedSample(const cv::Mat& previous, const cv::Mat& image, int x, int y, float startX,
                                 float startY, BrightnessFit fit) {
    const float sampleX = static_cast<float>(x) + startX;
    const float sampleY = static_cast<float>(y) + startY;
    if (!InsidePicture(sampleX, sampleY, previous.cols, previous.rows)) {
        return static_cast<std::int16_t>(kWarpFixedScale * image.at<std::uint8_t>(y, x));
    }
    return ToFixed(fit.gain * Bilinear(previous, sampleX, sampleY) + fit.offset);
}

// The corrected previous values of one row, no motion: the path of every still run.
void CorrectRow(const std::uint8_t* previous, BrightnessFit fit, std::int16_t* corrected, int from, int to) {
    int x = from;
#if CV_SIMD128
    const cv::v_float32x4 gain = cv::v_setall_f32(fit.gain), offset = cv::v_setall_f32(fit.offset);
    for (; x + cv::v_uint16x8::nlanes <= to; x += cv::v_uint16x8::nlanes) {
        cv::v_uint32x4 low, high;
        cv::v_expand(cv::v_load_expand(previous + x), low, high);
        const cv::v_int32x4 fixedLow = ToFixed(gain * cv::v_cvt_f32(cv::v_reinterpret_as_s32(low)) + offset);
        const cv::v_int32x4 fixedHigh = ToFixed(gain * cv::v_cvt_f32(cv::v_reinterpret_as_s32(high)) + offset);
        cv::v_store(corrected + x, cv::v_pack(fixedLow, fixedHigh));
    }
#endif
    for (; x < to; ++x) corrected[x] = ToFixed(fit.gain * static_cast<float>(previous[x]) + fit.offset);
}

// Warped samples of one row from `from` on, with the bilinear arithmetic in SIMD;
// the four neighbours of each sample are fetched one by one.
void WarpRow(const cv::Mat& previous, const std::uint8_t* image, int y, const float* startX, const float* startY,
             BrightnessFit fit, std::int16_t* warped, int from, int to) {
    int x = from;
#if CV_SIMD128
    constexpr int kLanes = cv::v_float32x4::nlanes;
    const int width = previous.cols, height = previous.rows;
    const cv::v_float32x4 zero = cv::v_setzero_f32();
    const cv::v_float32x4 lastX = cv::v_setall_f32(static_cast<float>(width - 1));
    const cv::v_float32x4 lastY = cv::v_setall_f32(static_cast<float>(height - 1));
    const cv::v_int32x4 leftmostCorner = cv::v_setall_s32(std::max(width - 2, 0));
    const cv::v_int32x4 topmostCorner = cv::v_setall_s32(std::max(height - 2, 0));
    const cv::v_float32x4 gain = cv::v_setall_f32(fit.gain), offset = cv::v_setall_f32(fit.offset);
    const int stepRight = width > 1 ? 1 : 0;
    const std::ptrdiff_t stepDown = height > 1 ? static_cast<std::ptrdiff_t>(previous.step[0]) : 0;
    const std::uint8_t* origin = previous.ptr<std::uint8_t>(0);
    const float laneOffsets[kLanes] = {0.0f, 1.0f, 2.0f, 3.0f};
    const cv::v_float32x4 lane = cv::v_load(laneOffsets);
    for (; x + kLanes <= to; x += kLanes) {
        const cv::v_float32x4 sampleX = cv::v_setall_f32(static_cast<float>(x)) + lane + cv::v_load(startX + x);
        const cv::v_float32x4 sampleY = cv::v_setall_f32(static_cast<float>(y)) + cv::v_load(startY + x);
        const cv::v_float32x4 inside = (sampleX >= zero) & (sampleX <= lastX) & (sampleY >= zero) & (sampleY <= lastY);
        // Outside lanes sample the corner, then take the template's value instead.
        const cv::v_float32x4 safeX = cv::v_select(inside, sampleX, zero);
        const cv::v_float32x4 safeY = cv::v_select(inside, sampleY, zero);
        const cv::v_int32x4 left = cv::v_min(cv::v_trunc(safeX), leftmostCorner);
        const cv::v_int32x4 top = cv::v_min(cv::v_trunc(safeY), topmostCorner);
        const cv::v_float32x4 fractionX = safeX - cv::v_cvt_f32(left);
        const cv::v_float32x4 fractionY = safeY - cv::v_cvt_f32(top);
        int lefts[kLanes], tops[kLanes];
        cv::v_store(lefts, left);
        cv::v_store(tops, top);
        float upperLeft[kLanes], upperRight[kLanes], lowerLeft[kLanes], lowerRight[kLanes];
        for (int i = 0; i < kLanes; ++i) {
            const std::uint8_t* corner = origin + static_cast<std::ptrdiff_t>(tops[i]) * previous.step[0] + lefts[i];
            upperLeft[i] = corner[0];
            upperRight[i] = corner[stepRight];
            lowerLeft[i] = corner[stepDown];
            lowerRight[i] = corner[stepDown + stepRight];
        }
        const cv::v_float32x4 upperLeftValue = cv::v_load(upperLeft), lowerLeftValue = cv::v_load(lowerLeft);
        const cv::v_float32x4 upperValue = upperLeftValue + fractionX * (cv::v_load(upperRight) - upperLeftValue);
        const cv::v_float32x4 lowerValue = lowerLeftValue + fractionX * (cv::v_load(lowerRight) - lowerLeftValue);
        const cv::v_float32x4 sample = upperValue + fractionY * (lowerValue - upperValue);
        const cv::v_int32x4 fixed = ToFixed(gain * sample + offset);
        // Built lane by lane: a four-byte load here could sit at any alignment.
        const cv::v_int32x4 ownFixed = cv::v_int32x4(image[x], image[x + 1], image[x + 2], image[x + 3]) << 4;
        const cv::v_int32x4 result = cv::v_select(cv::v_reinterpret_as_s32(inside), fixed, ownFixed);
        cv::v_pack_store(warped + x, result);
    }
#endif
    for (; x < to; ++x) {
        const float sampleX = static_cast<float>(x) + startX[x];
        const float sampleY = static_cast<float>(y) + startY[x];
        warped[x] = InsidePicture(sampleX, sampleY, previous.cols, previous.rows)
                        ? ToFixed(fit.gain * Bilinear(previous, sampleX, sampleY) + fit.offset)
                        : static_cast<std::int16_t>(kWarpFixedScale * image[x]);
    }
}

#ifdef TORVANE_WARP_AVX2
// Eight warped samples at once with AVX2 gathers: each gather fetches four
// bytes from the sample's row, of which the first two are its left and right
// neighbours. Reads up to two bytes past a row's last pixel, so it runs only
// on pictures with that much room after their last row (see HasGatherRoom).
// Same float operations as WarpRow, in the same order.
__attribute__((target("avx2"))) void WarpRunAvx2(const cv::Mat& previous, const std::uint8_t* image, int y, int x,
                                                 const float* startX, const float* startY, BrightnessFit fit,
                                                 std::int16_t* warped) {
    const int width = previous.cols, height = previous.rows;
    const int stride = static_cast<int>(previous.step[0]);
    const __m256 zero = _mm256_setzero_ps();
    const __m256 sampleX = _mm256_add_ps(_mm256_add_ps(_mm256_set1_ps(static_cast<float>(x)),
                                                       _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7)),
                                         _mm256_loadu_ps(startX + x));
    const __m256 sampleY = _mm256_add_ps(_mm256_set1_ps(static_cast<float>(y)), _mm256_loadu_ps(startY + x));
    const __m256 inside = _mm256_and_ps(
        _mm256_and_ps(_mm256_cmp_ps(sampleX, zero, _CMP_GE_OQ),
                      _mm256_cmp_ps(sampleX, _mm256_set1_ps(static_cast<float>(width - 1)), _CMP_LE_OQ)),
        _mm256_and_ps(_mm256_cmp_ps(sampleY, zero, _CMP_GE_OQ),
                      _mm256_cmp_ps(sampleY, _mm256_set1_ps(static_cast<float>(height - 1)), _CMP_LE_OQ)));
    const __m256 safeX = _mm256_and_ps(sampleX, inside);
    const __m256 safeY = _mm256_and_ps(sampleY, inside);
    const __m256i left = _mm256_min_epi32(_mm256_cvttps_epi32(safeX), _mm256_set1_epi32(width - 2));
    const __m256i top = _mm256_min_epi32(_mm256_cvttps_epi32(safeY), _mm256_set1_epi32(height - 2));
    const __m256 fractionX = _mm256_sub_ps(safeX, _mm256_cvtepi32_ps(left));
    const __m256 fractionY = _mm256_sub_ps(safeY, _mm256_cvtepi32_ps(top));
    const __m256i offsets = _mm256_add_epi32(_mm256_mullo_epi32(top, _mm256_set1_epi32(stride)), left);
    const int* origin = reinterpret_cast<const int*>(previous.ptr<std::uint8_t>(0));
    const __m256i upper = _mm256_i32gather_epi32(origin, offsets, 1);
    const __m256i lower = _mm256_i32gather_epi32(origin, _mm256_add_epi32(offsets, _mm256_set1_epi32(stride)), 1);
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    const __m256 upperLeft = _mm256_cvtepi32_ps(_mm256_and_si256(upper, byteMask));
    const __m256 upperRight = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(upper, 8), byteMask));
    const __m256 lowerLeft = _mm256_cvtepi32_ps(_mm256_and_si256(lower, byteMask));
    const __m256 lowerRight = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(lower, 8), byteMask));
    const __m256 upperValue = _mm256_add_ps(upperLeft, _mm256_mul_ps(fractionX, _mm256_sub_ps(upperRight, upperLeft)));
    const __m256 lowerValue = _mm256_add_ps(lowerLeft, _mm256_mul_ps(fractionX, _mm256_sub_ps(lowerRight, lowerLeft)));
    const __m256 sample = _mm256_add_ps(upperValue, _mm256_mul_ps(fractionY, _mm256_sub_ps(lowerValue, upperValue)));
    // ToFixed, eight at a time.
    const __m256 corrected = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(fit.gain), sample), _mm256_set1_ps(fit.offset));
    __m256 scaled = _mm256_add_ps(_mm256_mul_ps(corrected, _mm256_set1_ps(static_cast<float>(kWarpFixedScale))),
                                  _mm256_set1_ps(0.5f));
    scaled = _mm256_min_ps(_mm256_max_ps(scaled, _mm256_set1_ps(static_cast<float>(kWarpFixedMin))),
                           _mm256_set1_ps(static_cast<float>(kWarpFixedMax) + 0.5f));
    const __m256i fixed = _mm256_sub_epi32(_mm256_cvttps_epi32(_mm256_add_ps(scaled, _mm256_set1_ps(kRoundingBias))),
                                           _mm256_set1_epi32(static_cast<int>(kRoundingBias)));
    const __m256i own = _mm256_slli_epi32(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(image + x))), 4);
    const __m256i result = _mm256_blendv_epi8(own, fixed, _mm256_castps_si256(inside));
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(result, result), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(warped + x), _mm256_castsi256_si128(packed));
}
#endif

// Whether the AVX2 warp may read two bytes past the picture's last pixel.
bool HasGatherRoom(const cv::Mat& previous) {
    if (previous.cols < 2 || previous.rows < 2) return false;
    const std::uint8_t* lastPixel = previous.ptr<std::uint8_t>(previous.rows - 1) + previous.cols - 1;
    return previous.datalimit - lastPixel > 2;
}

class WarpLoop : public cv::ParallelLoopBody {
public:
    WarpLoop(const cv::Mat& previous, const cv::Mat& image, const cv::Mat& startX, const cv::Mat& startY,
             BrightnessFit fit, cv::Mat& warped, bool useWideSimd)
        : previous_(previous),
          image_(image),
          startX_(startX),
          startY_(startY),
          fit_(fit),
          warped_(warped),
          useWideSimd_(useWideSimd) {}

    void operator()(const cv::Range& rows) const override {
        constexpr int kRun = 8;  // starts are checked for stillness this many at a time
        const int width = image_.cols;
#ifdef TORVANE_WARP_AVX2
        const bool wide = useWideSimd_ && HasGatherRoom(previous_) && WindowSolveWideSimdAvailable();
#endif
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
#ifdef TORVANE_WARP_AVX2
                if (wide && end - x == kRun) {
                    WarpRunAvx2(previous_, image_.ptr<std::uint8_t>(y), y, x, rowX, rowY, fit_, out);
                    continue;
                }
#endif
                WarpRow(previous_, image_.ptr<std::uint8_t>(y), y, rowX, rowY, fit_, out, x, end);
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
    const bool useWideSimd_;
};

void CheckWarpInputs(const cv::Mat& previous, const cv::Mat& image, const cv::Mat& startX, const cv::Mat& startY) {
    CV_Assert(previous.type() == CV_8UC1 && image.type() == CV_8UC1 && previous.size() == image.size());
    CV_Assert(startX.type() == CV_32FC1 && startY.type() == CV_32FC1);
    CV_Assert(startX.size() == image.size() && startY.size() == image.size());
}

// 5x5 box average with replicated borders: 5-row sums, then 5-column sums of them.
void BoxFilter5(const cv::Mat& source, cv::Mat& rowSums, cv::Mat& target) {
    const int width = source.cols, height = source.rows;
    rowSums.create(source.size(), CV_32FC1);
    target.create(source.size(), CV_32FC1);
    for (int y = 0; y < height; ++y) {
        const float* rows[5];
        for (int offset = -2; offset <= 2; ++offset) rows[offset + 2] = source.ptr<float>(ClampIndex(y + offset, height));
        float* sums = rowSums.ptr<float>(y);
        for (int x = 0; x < width; ++x) sums[x] = (((rows[0][x] + rows[1][x]) + rows[2][x]) + rows[3][x]) + rows[4][x];
        float* out = target.ptr<float>(y);
        const auto average = [&](int x) {
            float sum = 0.0f;
            for (int offset = -2; offset <= 2; ++offset) sum += sums[ClampIndex(x + offset, width)];
            out[x] = sum * (1.0f / 25.0f);
        };
        const int interiorEnd = std::max(width - 2, 2);
        for (int x = 0; x < std::min(2, width); ++x) average(x);
        for (int x = 2; x < interiorEnd; ++x) {
            out[x] = ((((0.0f + sums[x - 2]) + sums[x - 1]) + sums[x]) + sums[x + 1] + sums[x + 2]) * (1.0f / 25.0f);
        }
        for (int x = interiorEnd; x < width; ++x) average(x);
    }
}

// x2 upsampling with pixel centres aligned (fine i sits at coarse (i + 0.5) / 2 - 0.5,
// a quarter pixel from its nearest coarse centre), values doubled.
// line: scratch of at least the coarse width.
void Upsample(const cv::Mat& coarse, float* line, cv::Mat& fine) {
    const int coarseWidth = coarse.cols, coarseHeight = coarse.rows;
    for (int y = 0; y < fine.rows; ++y) {
        const int nearRow = ClampIndex(y >> 1, coarseHeight);
        const int farRow = ClampIndex((y & 1) ? (y >> 1) + 1 : (y >> 1) - 1, coarseHeight);
        const float* nearValues = coarse.ptr<float>(nearRow);
        const float* farValues = coarse.ptr<float>(farRow);
        for (int x = 0; x < coarseWidth; ++x) line[x] = nearValues[x] + 0.25f * (farValues[x] - nearValues[x]);
        float* out = fine.ptr<float>(y);
        const auto expand = [&](int column) {
            // Fine columns 2 column and 2 column + 1, where they exist.
            const float near = line[column];
            const float before = line[ClampIndex(column - 1, coarseWidth)];
            const float after = line[ClampIndex(column + 1, coarseWidth)];
            out[2 * column] = 2.0f * (near + 0.25f * (before - near));
            if (2 * column + 1 < fine.cols) out[2 * column + 1] = 2.0f * (near + 0.25f * (after - near));
        };
        // Interior columns have both neighbours and both fine columns.
        const int interiorEnd = std::min(coarseWidth - 1, fine.cols / 2);
        int column = 0;
        if (coarseWidth > 0) expand(column++);
#if CV_SIMD128
        const cv::v_float32x4 quarter = cv::v_setall_f32(0.25f), two = cv::v_setall_f32(2.0f);
        for (; column + cv::v_float32x4::nlanes <= interiorEnd; column += cv::v_float32x4::nlanes) {
            const cv::v_float32x4 near = cv::v_load(line + column);
            const cv::v_float32x4 even = two * (near + quarter * (cv::v_load(line + column - 1) - near));
            const cv::v_float32x4 odd = two * (near + quarter * (cv::v_load(line + column + 1) - near));
            cv::v_store_interleave(out + 2 * column, even, odd);
        }
#endif
        for (; 2 * column < fine.cols; ++column) expand(column);
    }
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
    startX.create(size, CV_32FC1);
    startY.create(size, CV_32FC1);
    // Each component in turn: boxScratchX takes the box's row sums, then its
    // first row serves as the upsampling's line; boxScratchY the box's result.
    BoxFilter5(coarseX, boxScratchX, boxScratchY);
    Upsample(boxScratchY, boxScratchX.ptr<float>(0), startX);
    BoxFilter5(coarseY, boxScratchX, boxScratchY);
    Upsample(boxScratchY, boxScratchX.ptr<float>(0), startY);
    constexpr float kStillStartSquared = kStillStart * kStillStart;
    for (int y = 0; y < size.height; ++y) {
        float* rowX = startX.ptr<float>(y);
        float* rowY = startY.ptr<float>(y);
        int x = 0;
#if CV_SIMD128
        const cv::v_float32x4 threshold = cv::v_setall_f32(kStillStartSquared), zero = cv::v_setzero_f32();
        for (; x + cv::v_float32x4::nlanes <= size.width; x += cv::v_float32x4::nlanes) {
            const cv::v_float32x4 valueX = cv::v_load(rowX + x), valueY = cv::v_load(rowY + x);
            const cv::v_float32x4 moving = valueX * valueX + valueY * valueY >= threshold;
            cv::v_store(rowX + x, cv::v_select(moving, valueX, zero));
            cv::v_store(rowY + x, cv::v_select(moving, valueY, zero));
        }
#endif
        for (; x < size.width; ++x) {
            // Written so that a NaN start also ends up still.
            const bool moving = rowX[x] * rowX[x] + rowY[x] * rowY[x] >= kStillStartSquared;
            rowX[x] = moving ? rowX[x] : 0.0f;
            rowY[x] = moving ? rowY[x] : 0.0f;
        }
    }
}

void WarpPrevious(const cv::Mat& previousGray, const cv::Mat& templateGray, const cv::Mat& startX,
                  const cv::Mat& startY, BrightnessFit fit, cv::Mat& warped, bool useWideSimd) {
    CheckWarpInputs(previousGray, templateGray, startX, startY);
    warped.create(templateGray.size(), CV_16SC1);
    const WarpLoop loop(previousGray, templateGray, startX, startY, fit, warped, useWideSimd);
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
