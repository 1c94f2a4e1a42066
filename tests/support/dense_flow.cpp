// Dense 5x5 Lucas-Kanade motion field: a streaming SIMD path for every frame and
// a plain per-pixel path that it is checked against. See dense_flow.hpp.
#include "dense_flow.hpp"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

// x86 builds carry an AVX2 path next to the baseline one, chosen at run time.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define TORVANE_DENSE_FLOW_AVX2 1
#include <immintrin.h>
#endif

namespace torvane {
namespace {

constexpr int kWindowRadius = 2;                  // 5x5 window
constexpr int kRingRows = 2 * kWindowRadius + 1;  // product rows a window spans
constexpr int kPlaneCount = 6;                    // Ix², IxIy, Iy², IxIt, IyIt, It²
enum Plane { kXX = 0, kXY, kYY, kXT, kYT, kTT };

// Integer sums hold 25 products of 8x-scale Sobel gradients and raw temporal
// differences; these scales turn them into window means in grey levels (per pixel).
constexpr float kTensorScale = 1.0f / (64.0f * 25.0f);
constexpr float kMismatchScale = 1.0f / (8.0f * 25.0f);
constexpr float kResidualScale = 1.0f / 25.0f;

// The velocity error along an eigenvector grows like sqrt(residual / eigenvalue),
// so each solve is accepted only when its eigenvalue clears a floor plus a
// multiple of the mean squared residual it leaves. Tuned on a real picture
// warped by known sub-pixel shifts (precision) and on pairs of copies with
// independent noise of sigma 2 (no false motion): sigma-2 noise leaves a residual
// of about 8, so the bar rises to about 2 in noise while clean frames keep it near
// the floor and keep full solves on weakly textured windows.
constexpr float kMinWeakEigenvalue = 0.5f;    // full 2-D solve (grey levels² / pixel²)
constexpr float kMinStrongEigenvalue = 2.0f;  // normal flow along the strong direction
constexpr float kResidualWeight = 0.2f;       // bar rise per grey level² of mean residual
// Keeps divisions finite on windows that are rejected anyway; every accepted
// solve has a far larger denominator.
constexpr float kSmallestDenominator = 1e-12f;

// Fewer rows per band would spend too much on the recomputed halo rows.
constexpr int kMinRowsPerBand = 32;

inline int ClampIndex(int index, int size) { return std::min(std::max(index, 0), size - 1); }

struct Velocity {
    float x;
    float y;
};

// The guarded 2x2 solve of one window from its exact integer sums. The SIMD
// version below performs the same float operations in the same order.
inline Velocity SolveWindow(std::int32_t sumXX, std::int32_t sumXY, std::int32_t sumYY, std::int32_t sumXT,
                            std::int32_t sumYT, std::int32_t sumTT) {
    const float a = static_cast<float>(sumXX) * kTensorScale;
    const float b = static_cast<float>(sumXY) * kTensorScale;
    const float d = static_cast<float>(sumYY) * kTensorScale;
    const float e = static_cast<float>(sumXT) * kMismatchScale;
    const float f = static_cast<float>(sumYT) * kMismatchScale;
    const float t = static_cast<float>(sumTT) * kResidualScale;

    const float halfTrace = (a + d) * 0.5f;
    const float halfSpread = (a - d) * 0.5f;
    const float root = std::sqrt(halfSpread * halfSpread + b * b);
    const float strong = halfTrace + root;
    const float weak = halfTrace - root;

    // Strong eigenvector, unnormalised: whichever of its two forms has the larger norm.
    const bool aDominates = a >= d;
    const float axisX = aDominates ? strong - d : b;
    const float axisY = aDominates ? b : strong - a;
    // Both candidate solves share one division.
    const float determinant = std::max(a * d - b * b, kSmallestDenominator);
    const float axisWeight = std::max(strong * (axisX * axisX + axisY * axisY), kSmallestDenominator);
    const float inverseProduct = 1.0f / (determinant * axisWeight);

    // Full solve of [a b; b d] v = -[e f] (Cramer), and the residual it leaves.
    const float inverseDeterminant = axisWeight * inverseProduct;
    const float fullX = (b * f - d * e) * inverseDeterminant;
    const float fullY = (b * e - a * f) * inverseDeterminant;
    const float fullResidual = std::max(t + (fullX * e + fullY * f), 0.0f);

    // Normal flow along the strong eigenvector, and its residual.
    const float projection = axisX * e + axisY * f;
    const float step = projection * (determinant * inverseProduct);
    const float normalResidual = std::max(t - step * projection, 0.0f);

    if (weak > kMinWeakEigenvalue + kResidualWeight * fullResidual) return {fullX, fullY};
    if (strong > kMinStrongEigenvalue + kResidualWeight * normalResidual) {
        return {0.0f - step * axisX, 0.0f - step * axisY};
    }
    return {0.0f, 0.0f};
}

#if CV_SIMD128
// SolveWindow on four windows at once.
inline void SolveWindows(const cv::v_int32x4& sumXX, const cv::v_int32x4& sumXY, const cv::v_int32x4& sumYY,
                         const cv::v_int32x4& sumXT, const cv::v_int32x4& sumYT, const cv::v_int32x4& sumTT,
                         cv::v_float32x4& velocityX, cv::v_float32x4& velocityY) {
    using cv::v_float32x4;
    const v_float32x4 tensorScale = cv::v_setall_f32(kTensorScale);
    const v_float32x4 mismatchScale = cv::v_setall_f32(kMismatchScale);
    const v_float32x4 zero = cv::v_setzero_f32();
    const v_float32x4 half = cv::v_setall_f32(0.5f);
    const v_float32x4 smallest = cv::v_setall_f32(kSmallestDenominator);
    const v_float32x4 residualWeight = cv::v_setall_f32(kResidualWeight);

    const v_float32x4 a = cv::v_cvt_f32(sumXX) * tensorScale;
    const v_float32x4 b = cv::v_cvt_f32(sumXY) * tensorScale;
    const v_float32x4 d = cv::v_cvt_f32(sumYY) * tensorScale;
    const v_float32x4 e = cv::v_cvt_f32(sumXT) * mismatchScale;
    const v_float32x4 f = cv::v_cvt_f32(sumYT) * mismatchScale;
    const v_float32x4 t = cv::v_cvt_f32(sumTT) * cv::v_setall_f32(kResidualScale);

    const v_float32x4 halfTrace = (a + d) * half;
    const v_float32x4 halfSpread = (a - d) * half;
    const v_float32x4 root = cv::v_sqrt(halfSpread * halfSpread + b * b);
    const v_float32x4 strong = halfTrace + root;
    const v_float32x4 weak = halfTrace - root;

    const v_float32x4 aDominates = a >= d;
    const v_float32x4 axisX = cv::v_select(aDominates, strong - d, b);
    const v_float32x4 axisY = cv::v_select(aDominates, b, strong - a);
    const v_float32x4 determinant = cv::v_max(a * d - b * b, smallest);
    const v_float32x4 axisWeight = cv::v_max(strong * (axisX * axisX + axisY * axisY), smallest);
    const v_float32x4 inverseProduct = cv::v_setall_f32(1.0f) / (determinant * axisWeight);

    const v_float32x4 inverseDeterminant = axisWeight * inverseProduct;
    const v_float32x4 fullX = (b * f - d * e) * inverseDeterminant;
    const v_float32x4 fullY = (b * e - a * f) * inverseDeterminant;
    const v_float32x4 fullResidual = cv::v_max(t + (fullX * e + fullY * f), zero);

    const v_float32x4 projection = axisX * e + axisY * f;
    const v_float32x4 step = projection * (determinant * inverseProduct);
    const v_float32x4 normalResidual = cv::v_max(t - step * projection, zero);

    const v_float32x4 useFull = weak > cv::v_setall_f32(kMinWeakEigenvalue) + residualWeight * fullResidual;
    const v_float32x4 useNormal = strong > cv::v_setall_f32(kMinStrongEigenvalue) + residualWeight * normalResidual;
    velocityX = cv::v_select(useFull, fullX, cv::v_select(useNormal, zero - step * axisX, zero));
    velocityY = cv::v_select(useFull, fullY, cv::v_select(useNormal, zero - step * axisY, zero));
}
#endif

#ifdef TORVANE_DENSE_FLOW_AVX2
// AVX2 versions of the hot loops, run only when the CPU reports AVX2. Each does
// the widest whole blocks and returns how many columns it covered; the 128-bit
// and scalar loops finish the row, with identical integer and float operations.

__attribute__((target("avx2"), always_inline)) inline __m256i LoadWidened(const std::int16_t* source) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source)));
}
__attribute__((target("avx2"), always_inline)) inline __m256i Load8(const std::int32_t* source) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source));
}
__attribute__((target("avx2"), always_inline)) inline void Store8(std::int32_t* target, __m256i value) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target), value);
}

template <bool kSlideColumnSums>
__attribute__((target("avx2"))) int ComputeProductsAvx2(const std::int16_t* smooth, const std::int16_t* difference,
                                                        const std::int16_t* temporal, std::int32_t* const* products,
                                                        std::int32_t* const* columnSums, int width) {
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i gradientX = _mm256_sub_epi32(LoadWidened(smooth + x + 1), LoadWidened(smooth + x - 1));
        const __m256i middle = LoadWidened(difference + x);
        const __m256i gradientY =
            _mm256_add_epi32(_mm256_add_epi32(LoadWidened(difference + x - 1), _mm256_add_epi32(middle, middle)),
                             LoadWidened(difference + x + 1));
        const __m256i gradientT = LoadWidened(temporal + x);
        const __m256i factorsLeft[kPlaneCount] = {gradientX, gradientX, gradientY, gradientX, gradientY, gradientT};
        const __m256i factorsRight[kPlaneCount] = {gradientX, gradientY, gradientY, gradientT, gradientT, gradientT};
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            const __m256i product = _mm256_mullo_epi32(factorsLeft[plane], factorsRight[plane]);
            if (kSlideColumnSums) {
                const __m256i leaving = Load8(products[plane] + x);
                Store8(columnSums[plane] + x,
                       _mm256_sub_epi32(_mm256_add_epi32(Load8(columnSums[plane] + x), product), leaving));
            }
            Store8(products[plane] + x, product);
        }
    }
    return x;
}

__attribute__((target("avx2"))) int SlideColumnSumsAvx2(std::int32_t* const* columnSums,
                                                        const std::int32_t* const* entering,
                                                        const std::int32_t* const* leaving, int width) {
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            Store8(columnSums[plane] + x,
                   _mm256_sub_epi32(_mm256_add_epi32(Load8(columnSums[plane] + x), Load8(entering[plane] + x)),
                                    Load8(leaving[plane] + x)));
        }
    }
    return x;
}

__attribute__((target("avx2"))) int SolveRowAvx2(const std::int32_t* const* columnSums, float* velocityX,
                                                 float* velocityY, int width) {
    const __m256 tensorScale = _mm256_set1_ps(kTensorScale);
    const __m256 mismatchScale = _mm256_set1_ps(kMismatchScale);
    const __m256 residualScale = _mm256_set1_ps(kResidualScale);
    const __m256 zero = _mm256_setzero_ps();
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 smallest = _mm256_set1_ps(kSmallestDenominator);
    const __m256 residualWeight = _mm256_set1_ps(kResidualWeight);
    const __m256 minWeak = _mm256_set1_ps(kMinWeakEigenvalue);
    const __m256 minStrong = _mm256_set1_ps(kMinStrongEigenvalue);
    const std::int32_t* planes[kPlaneCount];  // local, so stores cannot alias them
    std::copy(columnSums, columnSums + kPlaneCount, planes);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m256 means[kPlaneCount];
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            const std::int32_t* column = planes[plane] + x;
            const __m256i sum =
                _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(Load8(column - 2), Load8(column - 1)),
                                                  _mm256_add_epi32(Load8(column), Load8(column + 1))),
                                 Load8(column + 2));
            const __m256 scale = plane < kXT ? tensorScale : (plane < kTT ? mismatchScale : residualScale);
            means[plane] = _mm256_mul_ps(_mm256_cvtepi32_ps(sum), scale);
        }
        const __m256 a = means[kXX], b = means[kXY], d = means[kYY], e = means[kXT], f = means[kYT], t = means[kTT];

        const __m256 halfTrace = _mm256_mul_ps(_mm256_add_ps(a, d), half);
        const __m256 halfSpread = _mm256_mul_ps(_mm256_sub_ps(a, d), half);
        const __m256 root = _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(halfSpread, halfSpread), _mm256_mul_ps(b, b)));
        const __m256 strong = _mm256_add_ps(halfTrace, root);
        const __m256 weak = _mm256_sub_ps(halfTrace, root);

        const __m256 aDominates = _mm256_cmp_ps(a, d, _CMP_GE_OQ);
        const __m256 axisX = _mm256_blendv_ps(b, _mm256_sub_ps(strong, d), aDominates);
        const __m256 axisY = _mm256_blendv_ps(_mm256_sub_ps(strong, a), b, aDominates);
        const __m256 determinant = _mm256_max_ps(_mm256_sub_ps(_mm256_mul_ps(a, d), _mm256_mul_ps(b, b)), smallest);
        const __m256 axisWeight = _mm256_max_ps(
            _mm256_mul_ps(strong, _mm256_add_ps(_mm256_mul_ps(axisX, axisX), _mm256_mul_ps(axisY, axisY))), smallest);
        const __m256 inverseProduct = _mm256_div_ps(one, _mm256_mul_ps(determinant, axisWeight));

        const __m256 inverseDeterminant = _mm256_mul_ps(axisWeight, inverseProduct);
        const __m256 fullX = _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(b, f), _mm256_mul_ps(d, e)), inverseDeterminant);
        const __m256 fullY = _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(b, e), _mm256_mul_ps(a, f)), inverseDeterminant);
        const __m256 fullResidual =
            _mm256_max_ps(_mm256_add_ps(t, _mm256_add_ps(_mm256_mul_ps(fullX, e), _mm256_mul_ps(fullY, f))), zero);

        const __m256 projection = _mm256_add_ps(_mm256_mul_ps(axisX, e), _mm256_mul_ps(axisY, f));
        const __m256 step = _mm256_mul_ps(projection, _mm256_mul_ps(determinant, inverseProduct));
        const __m256 normalResidual = _mm256_max_ps(_mm256_sub_ps(t, _mm256_mul_ps(step, projection)), zero);

        const __m256 useFull =
            _mm256_cmp_ps(weak, _mm256_add_ps(minWeak, _mm256_mul_ps(residualWeight, fullResidual)), _CMP_GT_OQ);
        const __m256 useNormal =
            _mm256_cmp_ps(strong, _mm256_add_ps(minStrong, _mm256_mul_ps(residualWeight, normalResidual)), _CMP_GT_OQ);
        const __m256 normalX = _mm256_and_ps(_mm256_sub_ps(zero, _mm256_mul_ps(step, axisX)), useNormal);
        const __m256 normalY = _mm256_and_ps(_mm256_sub_ps(zero, _mm256_mul_ps(step, axisY)), useNormal);
        _mm256_storeu_ps(velocityX + x, _mm256_blendv_ps(normalX, fullX, useFull));
        _mm256_storeu_ps(velocityY + x, _mm256_blendv_ps(normalY, fullY, useFull));
    }
    return x;
}
#endif

bool CpuHasAvx2() {
#ifdef TORVANE_DENSE_FLOW_AVX2
    static const bool hasAvx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return hasAvx2;
#else
    return false;
#endif
}

// Vertical halves of the separable 3x3 Sobel (8x scale) and the temporal
// difference of one row; the Sobel rows get one replicated column each side.
void VerticalSobelAndTemporal(const std::uint8_t* above, const std::uint8_t* centre, const std::uint8_t* below,
                              const std::uint8_t* current, std::int16_t* smooth, std::int16_t* difference,
                              std::int16_t* temporal, int width) {
    int x = 0;
#if CV_SIMD128
    for (; x + cv::v_int16x8::nlanes <= width; x += cv::v_int16x8::nlanes) {
        const cv::v_int16x8 up = cv::v_reinterpret_as_s16(cv::v_load_expand(above + x));
        const cv::v_int16x8 mid = cv::v_reinterpret_as_s16(cv::v_load_expand(centre + x));
        const cv::v_int16x8 down = cv::v_reinterpret_as_s16(cv::v_load_expand(below + x));
        const cv::v_int16x8 now = cv::v_reinterpret_as_s16(cv::v_load_expand(current + x));
        cv::v_store(smooth + x, up + mid + mid + down);
        cv::v_store(difference + x, down - up);
        cv::v_store(temporal + x, now - mid);
    }
#endif
    for (; x < width; ++x) {
        smooth[x] = static_cast<std::int16_t>(above[x] + 2 * centre[x] + below[x]);
        difference[x] = static_cast<std::int16_t>(below[x] - above[x]);
        temporal[x] = static_cast<std::int16_t>(current[x] - centre[x]);
    }
    smooth[-1] = smooth[0];
    smooth[width] = smooth[width - 1];
    difference[-1] = difference[0];
    difference[width] = difference[width - 1];
}

// Horizontal halves of the Sobel and the six products of one row, into its ring
// slot. With kSlideColumnSums the slot still holds the row five above, which
// leaves the window as this one enters: the column sums are updated on the way.
template <bool kSlideColumnSums>
void ComputeProducts(const std::int16_t* smooth, const std::int16_t* difference, const std::int16_t* temporal,
                     std::int32_t* const* products, std::int32_t* const* columnSums, int width, bool wide) {
    int x = 0;
#ifdef TORVANE_DENSE_FLOW_AVX2
    if (wide) x = ComputeProductsAvx2<kSlideColumnSums>(smooth, difference, temporal, products, columnSums, width);
#else
    (void)wide;
#endif
#if CV_SIMD128
    for (; x + cv::v_int16x8::nlanes <= width; x += cv::v_int16x8::nlanes) {
        const cv::v_int16x8 gradientX = cv::v_load(smooth + x + 1) - cv::v_load(smooth + x - 1);
        const cv::v_int16x8 middle = cv::v_load(difference + x);
        const cv::v_int16x8 gradientY =
            cv::v_load(difference + x - 1) + middle + middle + cv::v_load(difference + x + 1);
        const cv::v_int16x8 gradientT = cv::v_load(temporal + x);
        const cv::v_int16x8 factorsLeft[kPlaneCount] = {gradientX, gradientX, gradientY,
                                                        gradientX, gradientY, gradientT};
        const cv::v_int16x8 factorsRight[kPlaneCount] = {gradientX, gradientY, gradientY,
                                                         gradientT, gradientT, gradientT};
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            cv::v_int32x4 low, high;
            cv::v_mul_expand(factorsLeft[plane], factorsRight[plane], low, high);
            std::int32_t* target = products[plane] + x;
            if (kSlideColumnSums) {
                std::int32_t* sums = columnSums[plane] + x;
                constexpr int kHalf = cv::v_int32x4::nlanes;
                cv::v_store(sums, cv::v_load(sums) + low - cv::v_load(target));
                cv::v_store(sums + kHalf, cv::v_load(sums + kHalf) + high - cv::v_load(target + kHalf));
            }
            cv::v_store(target, low);
            cv::v_store(target + cv::v_int32x4::nlanes, high);
        }
    }
#endif
    for (; x < width; ++x) {
        const std::int32_t gradientX = smooth[x + 1] - smooth[x - 1];
        const std::int32_t gradientY = difference[x - 1] + 2 * difference[x] + difference[x + 1];
        const std::int32_t gradientT = temporal[x];
        const std::int32_t rowProducts[kPlaneCount] = {gradientX * gradientX, gradientX * gradientY,
                                                       gradientY * gradientY, gradientX * gradientT,
                                                       gradientY * gradientT, gradientT * gradientT};
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            if (kSlideColumnSums) columnSums[plane][x] += rowProducts[plane] - products[plane][x];
            products[plane][x] = rowProducts[plane];
        }
    }
}

// Column sums += entering row - leaving row, where the two rows sit in different slots.
void SlideColumnSums(std::int32_t* const* columnSums, const std::int32_t* const* entering,
                     const std::int32_t* const* leaving, int width, bool wide) {
    int x = 0;
#ifdef TORVANE_DENSE_FLOW_AVX2
    if (wide) x = SlideColumnSumsAvx2(columnSums, entering, leaving, width);
#else
    (void)wide;
#endif
    const int firstScalar = x;
    for (int plane = 0; plane < kPlaneCount; ++plane) {
        std::int32_t* sums = columnSums[plane];
        x = firstScalar;
#if CV_SIMD128
        for (; x + cv::v_int32x4::nlanes <= width; x += cv::v_int32x4::nlanes) {
            cv::v_store(sums + x,
                        cv::v_load(sums + x) + cv::v_load(entering[plane] + x) - cv::v_load(leaving[plane] + x));
        }
#endif
        for (; x < width; ++x) sums[x] += entering[plane][x] - leaving[plane][x];
    }
}

// Per pixel: the 5-wide horizontal sum of the column sums, then the guarded solve.
void SolveRow(const std::int32_t* const* columnSums, float* velocityX, float* velocityY, int width, bool wide) {
    int x = 0;
#ifdef TORVANE_DENSE_FLOW_AVX2
    if (wide) x = SolveRowAvx2(columnSums, velocityX, velocityY, width);
#else
    (void)wide;
#endif
#if CV_SIMD128
    for (; x + cv::v_int32x4::nlanes <= width; x += cv::v_int32x4::nlanes) {
        cv::v_int32x4 sums[kPlaneCount];
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            const std::int32_t* column = columnSums[plane] + x;
            sums[plane] = cv::v_load(column - 2) + cv::v_load(column - 1) + cv::v_load(column) +
                          cv::v_load(column + 1) + cv::v_load(column + 2);
        }
        cv::v_float32x4 solvedX, solvedY;
        SolveWindows(sums[kXX], sums[kXY], sums[kYY], sums[kXT], sums[kYT], sums[kTT], solvedX, solvedY);
        cv::v_store(velocityX + x, solvedX);
        cv::v_store(velocityY + x, solvedY);
    }
#endif
    for (; x < width; ++x) {
        std::int32_t sums[kPlaneCount];
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            const std::int32_t* column = columnSums[plane] + x;
            sums[plane] = column[-2] + column[-1] + column[0] + column[1] + column[2];
        }
        const Velocity velocity = SolveWindow(sums[kXX], sums[kXY], sums[kYY], sums[kXT], sums[kYT], sums[kTT]);
        velocityX[x] = velocity.x;
        velocityY[x] = velocity.y;
    }
}

// Scratch sizes for pictures up to `width` columns.
void SizeBandScratch(DenseFlowWorkspace::BandScratch& scratch, int width) {
    const std::size_t columns = static_cast<std::size_t>(width);
    scratch.verticalSmooth.assign(columns + 2, 0);
    scratch.verticalDifference.assign(columns + 2, 0);
    scratch.temporalDifference.assign(columns, 0);
    scratch.productRing.assign(static_cast<std::size_t>(kRingRows * kPlaneCount) * columns, 0);
    scratch.columnSums.assign(kPlaneCount * (columns + 2 * kWindowRadius), 0);
}

// Streams the rows of one band. Products of each image row go into a ring of
// five rows; running column sums over the five rows of the window slide down by
// one row per output row (exact in integers), and each output row is solved
// from 5-wide horizontal sums of them. A band computes its own halo rows, so
// results do not depend on how rows are split.
class BandProcessor {
public:
    BandProcessor(const cv::Mat& previous, const cv::Mat& current, cv::Mat& flowX, cv::Mat& flowY,
                  DenseFlowWorkspace::BandScratch& scratch, bool wide)
        : previous_(previous),
          current_(current),
          flowX_(flowX),
          flowY_(flowY),
          scratch_(scratch),
          width_(previous.cols),
          height_(previous.rows),
          wide_(wide) {
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            columnSums_[plane] = scratch_.columnSums.data() +
                                 static_cast<std::size_t>(plane) * (width_ + 2 * kWindowRadius) + kWindowRadius;
        }
    }

    void Run(int firstRow, int endRow) {
        // The first window: its rows into the ring, then added up.
        const int lastInFirstWindow = std::min(firstRow + kWindowRadius, height_ - 1);
        for (int row = std::max(firstRow - kWindowRadius, 0); row <= lastInFirstWindow; ++row) {
            ComputeRowProducts<false>(row);
        }
        int lastComputedRow = lastInFirstWindow;
        AddUpFirstWindow(firstRow);
        Solve(firstRow);

        for (int row = firstRow + 1; row < endRow; ++row) {
            const int entering = row + kWindowRadius;
            const int leaving = row - kWindowRadius - 1;
            if (entering < height_ && leaving >= 0) {
                // Five rows apart: the entering row takes the leaving row's slot.
                ComputeRowProducts<true>(entering);
                lastComputedRow = entering;
            } else {
                // Near the top or bottom edge a replicated row enters or leaves.
                const int enteringRow = std::min(entering, height_ - 1);
                if (enteringRow > lastComputedRow) {
                    ComputeRowProducts<false>(enteringRow);
                    lastComputedRow = enteringRow;
                }
                std::int32_t* enteringPlanes[kPlaneCount];
                std::int32_t* leavingPlanes[kPlaneCount];
                RingPlanes(enteringRow, enteringPlanes);
                RingPlanes(std::max(leaving, 0), leavingPlanes);
                SlideColumnSums(columnSums_, enteringPlanes, leavingPlanes, width_, wide_);
            }
            Solve(row);
        }
    }

private:
    void RingPlanes(int row, std::int32_t* (&planes)[kPlaneCount]) const {
        const int slot = row % kRingRows;
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            planes[plane] = scratch_.productRing.data() + static_cast<std::size_t>(slot * kPlaneCount + plane) * width_;
        }
    }

    template <bool kSlideColumnSums>
    void ComputeRowProducts(int row) {
        std::int16_t* smooth = scratch_.verticalSmooth.data() + 1;
        std::int16_t* difference = scratch_.verticalDifference.data() + 1;
        std::int16_t* temporal = scratch_.temporalDifference.data();
        VerticalSobelAndTemporal(previous_.ptr<std::uint8_t>(ClampIndex(row - 1, height_)),
                                 previous_.ptr<std::uint8_t>(row),
                                 previous_.ptr<std::uint8_t>(ClampIndex(row + 1, height_)),
                                 current_.ptr<std::uint8_t>(row), smooth, difference, temporal, width_);
        std::int32_t* planes[kPlaneCount];
        RingPlanes(row, planes);
        ComputeProducts<kSlideColumnSums>(smooth, difference, temporal, planes, columnSums_, width_, wide_);
    }

    void AddUpFirstWindow(int row) {
        std::int32_t* windowRows[kRingRows][kPlaneCount];
        for (int offset = 0; offset < kRingRows; ++offset) {
            RingPlanes(ClampIndex(row - kWindowRadius + offset, height_), windowRows[offset]);
        }
        for (int plane = 0; plane < kPlaneCount; ++plane) {
            for (int x = 0; x < width_; ++x) {
                columnSums_[plane][x] = windowRows[0][plane][x] + windowRows[1][plane][x] + windowRows[2][plane][x] +
                                        windowRows[3][plane][x] + windowRows[4][plane][x];
            }
        }
    }

    void Solve(int row) {
        for (std::int32_t* sums : columnSums_) {
            for (int pad = 1; pad <= kWindowRadius; ++pad) {
                sums[-pad] = sums[0];
                sums[width_ - 1 + pad] = sums[width_ - 1];
            }
        }
        SolveRow(columnSums_, flowX_.ptr<float>(row), flowY_.ptr<float>(row), width_, wide_);
    }

    const cv::Mat& previous_;
    const cv::Mat& current_;
    cv::Mat& flowX_;
    cv::Mat& flowY_;
    DenseFlowWorkspace::BandScratch& scratch_;
    const int width_;
    const int height_;
    const bool wide_;
    std::int32_t* columnSums_[kPlaneCount];
};

class BandLoop : public cv::ParallelLoopBody {
public:
    BandLoop(const cv::Mat& previous, const cv::Mat& current, cv::Mat& flowX, cv::Mat& flowY,
             DenseFlowWorkspace& workspace, int bandCount, bool wide)
        : previous_(previous),
          current_(current),
          flowX_(flowX),
          flowY_(flowY),
          workspace_(workspace),
          bandCount_(bandCount),
          wide_(wide) {}

    void operator()(const cv::Range& bands) const override {
        const std::int64_t height = previous_.rows;
        for (int band = bands.start; band < bands.end; ++band) {
            const int firstRow = static_cast<int>(height * band / bandCount_);
            const int endRow = static_cast<int>(height * (band + 1) / bandCount_);
            BandProcessor processor(previous_, current_, flowX_, flowY_,
                                    workspace_.bands[static_cast<std::size_t>(band)], wide_);
            processor.Run(firstRow, endRow);
        }
    }

private:
    const cv::Mat& previous_;
    const cv::Mat& current_;
    cv::Mat& flowX_;
    cv::Mat& flowY_;
    DenseFlowWorkspace& workspace_;
    const int bandCount_;
    const bool wide_;
};

void CheckInputs(const cv::Mat& previousGray, const cv::Mat& currentGray) {
    CV_Assert(previousGray.type() == CV_8UC1 && currentGray.type() == CV_8UC1);
    CV_Assert(previousGray.size() == currentGray.size() && !previousGray.empty());
}

}  // namespace

bool DenseFlowWideSimdAvailable() { return CpuHasAvx2(); }

void ComputeDenseFlow(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX, cv::Mat& flowY,
                      DenseFlowWorkspace& workspace) {
    CheckInputs(previousGray, currentGray);
    const int width = previousGray.cols;
    const int height = previousGray.rows;
    flowX.create(previousGray.size(), CV_32FC1);
    flowY.create(previousGray.size(), CV_32FC1);

    const int bandCount = std::max(1, std::min(cv::getNumThreads(), height / kMinRowsPerBand));
    if (workspace.bands.size() < static_cast<std::size_t>(bandCount) || workspace.preparedWidth < width) {
        const int preparedWidth = std::max(workspace.preparedWidth, width);
        workspace.bands.resize(std::max(workspace.bands.size(), static_cast<std::size_t>(bandCount)));
        for (DenseFlowWorkspace::BandScratch& scratch : workspace.bands) SizeBandScratch(scratch, preparedWidth);
        workspace.preparedWidth = preparedWidth;
        ++workspace.scratchResizeCount;
    }

    const bool wide = workspace.useWideSimd && CpuHasAvx2();
    const BandLoop loop(previousGray, currentGray, flowX, flowY, workspace, bandCount, wide);
    if (bandCount == 1) {
        loop(cv::Range(0, 1));
    } else {
        cv::parallel_for_(cv::Range(0, bandCount), loop, bandCount);
    }
}

void ComputeDenseFlowReference(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX,
                               cv::Mat& flowY) {
    CheckInputs(previousGray, currentGray);
    const int width = previousGray.cols;
    const int height = previousGray.rows;
    flowX.create(previousGray.size(), CV_32FC1);
    flowY.create(previousGray.size(), CV_32FC1);

    // Replicated borders: every read clamps its coordinates.
    const auto previousAt = [&](int x, int y) -> std::int32_t {
        return previousGray.at<std::uint8_t>(ClampIndex(y, height), ClampIndex(x, width));
    };
    // 3x3 Sobel at 8x scale and the temporal difference, exact integers.
    cv::Mat gradientX(height, width, CV_32SC1), gradientY(height, width, CV_32SC1), gradientT(height, width, CV_32SC1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            gradientX.at<std::int32_t>(y, x) =
                (previousAt(x + 1, y - 1) + 2 * previousAt(x + 1, y) + previousAt(x + 1, y + 1)) -
                (previousAt(x - 1, y - 1) + 2 * previousAt(x - 1, y) + previousAt(x - 1, y + 1));
            gradientY.at<std::int32_t>(y, x) =
                (previousAt(x - 1, y + 1) + 2 * previousAt(x, y + 1) + previousAt(x + 1, y + 1)) -
                (previousAt(x - 1, y - 1) + 2 * previousAt(x, y - 1) + previousAt(x + 1, y - 1));
            gradientT.at<std::int32_t>(y, x) = currentGray.at<std::uint8_t>(y, x) - previousAt(x, y);
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::int32_t sums[kPlaneCount] = {0, 0, 0, 0, 0, 0};
            for (int dy = -kWindowRadius; dy <= kWindowRadius; ++dy) {
                for (int dx = -kWindowRadius; dx <= kWindowRadius; ++dx) {
                    const int sampleY = ClampIndex(y + dy, height);
                    const int sampleX = ClampIndex(x + dx, width);
                    const std::int32_t ix = gradientX.at<std::int32_t>(sampleY, sampleX);
                    const std::int32_t iy = gradientY.at<std::int32_t>(sampleY, sampleX);
                    const std::int32_t it = gradientT.at<std::int32_t>(sampleY, sampleX);
                    sums[kXX] += ix * ix;
                    sums[kXY] += ix * iy;
                    sums[kYY] += iy * iy;
                    sums[kXT] += ix * it;
                    sums[kYT] += iy * it;
                    sums[kTT] += it * it;
                }
            }
            const Velocity velocity = SolveWindow(sums[kXX], sums[kXY], sums[kYY], sums[kXT], sums[kYT], sums[kTT]);
            flowX.at<float>(y, x) = velocity.x;
            flowY.at<float>(y, x) = velocity.y;
        }
    }
}

}  // namespace torvane
