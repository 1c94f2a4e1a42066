// One level of the motion field: a streaming SIMD path for every frame and a
// plain per-pixel path that it is checked against. See window_solve.hpp.
#include "window_solve.hpp"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>


// x86 builds carry an AVX2 path next to the baseline one, chosen at run time.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define TORVANE_WINDOW_SOLVE_AVX2 1
#include <immintrin.h>
#endif

namespace torvane {
namespace {

constexpr int kWindowRadius = 2;                  // 5x5 window
constexpr int kRingRows = 2 * kWindowRadius + 1;  // product rows a window spans
// Window sums: the tensor and its means, the mismatch, and the residual terms;
// the finest level adds the two sums of the no-motion difference.
enum Plane { kXX = 0, kXY, kYY, kX, kY, kXT, kYT, kT, kTT, kS, kSS };
constexpr int kMovingPlaneCount = 9;
constexpr int kMaxPlaneCount = 11;

// Integer sums hold 25 products of 8x-scale Sobel gradients and 16x-scale
// temporal differences; these scales turn the centred sums into window means in
// grey levels (per pixel).
constexpr float kInverseArea = 1.0f / 25.0f;
constexpr float kTensorScale = 1.0f / (64.0f * 25.0f);
constexpr float kMismatchScale = 1.0f / (8.0f * 16.0f * 25.0f);
constexpr float kResidualScale = 1.0f / (16.0f * 16.0f * 25.0f);

// The velocity error along an eigenvector grows like sqrt(residual / eigenvalue),
// so each solve is accepted only when its eigenvalue clears a floor plus a
// multiple of the mean squared residual it leaves: sigma-2 noise leaves a
// residual of about 8, so the bar rises to about 2 in noise while clean frames
// keep it near the floor and keep full solves on weakly textured windows.
constexpr float kMinWeakEigenvalue = 0.5f;    // full 2-D solve (grey levels² / pixel²)
constexpr float kMinStrongEigenvalue = 2.0f;  // normal flow along the strong direction
constexpr float kResidualWeight = 0.2f;       // bar rise per grey level² of mean residual
// The finest level's remainder is damped towards the start that the coarser
// levels agreed on: a ridge term on the tensor's diagonal, which shortens the
// noise-driven remainders of weakly textured windows while well-textured ones
// barely notice it (grey levels² / pixel²).
constexpr float kFinestDamping = 1.0f;
// Keeps divisions finite on windows that are rejected anyway; every accepted
// solve has a far larger denominator.
constexpr float kSmallestDenominator = 1e-12f;

// Fewer rows per band would spend too much on the recomputed halo rows.
constexpr int kMinRowsPerBand = 32;

inline int ClampIndex(int index, int size) { return std::min(std::max(index, 0), size - 1); }

// The guarded, brightness-centred solve of one window and what it leaves behind,
// then the start added and, on the finest level, the no-motion comparison. The
// SIMD versions below perform the same float operations in the same order.
inline void SolveWindow(const std::int32_t* sums, bool finest, float startX, float startY, float& outX,
                        float& outY) {
    const float damping = finest ? kFinestDamping : 0.0f;
    const float sumX = static_cast<float>(sums[kX]);
    const float sumY = static_cast<float>(sums[kY]);
    const float sumT = static_cast<float>(sums[kT]);
    const float meanX = sumX * kInverseArea;
    const float meanY = sumY * kInverseArea;
    const float meanT = sumT * kInverseArea;
    const float a = (static_cast<float>(sums[kXX]) - meanX * sumX) * kTensorScale;
    const float b = (static_cast<float>(sums[kXY]) - meanX * sumY) * kTensorScale;
    const float d = (static_cast<float>(sums[kYY]) - meanY * sumY) * kTensorScale;
    const float e = (static_cast<float>(sums[kXT]) - meanX * sumT) * kMismatchScale;
    const float f = (static_cast<float>(sums[kYT]) - meanY * sumT) * kMismatchScale;
    const float t = std::max((static_cast<float>(sums[kTT]) - meanT * sumT) * kResidualScale, 0.0f);

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
    const float dampedA = a + damping;
    const float dampedD = d + damping;
    const float determinant = std::max(dampedA * dampedD - b * b, kSmallestDenominator);
    const float axisWeight = std::max(strong * (axisX * axisX + axisY * axisY), kSmallestDenominator);
    const float inverseProduct = 1.0f / (determinant * axisWeight);

    // Damped full solve of [a b; b d] v = -[e f] (Cramer), and the residual it leaves.
    const float inverseDeterminant = axisWeight * inverseProduct;
    const float fullX = (b * f - dampedD * e) * inverseDeterminant;
    const float fullY = (b * e - dampedA * f) * inverseDeterminant;
    const float fullResidual = std::max(
        t + 2.0f * (fullX * e + fullY * f) + (a * fullX * fullX + 2.0f * b * fullX * fullY + d * fullY * fullY), 0.0f);

    // Normal flow along the strong eigenvector, and its residual.
    const float projection = axisX * e + axisY * f;
    const float step = projection * (determinant * inverseProduct);
    const float normalResidual = std::max(t - step * projection, 0.0f);

    const bool useFull = weak > kMinWeakEigenvalue + kResidualWeight * fullResidual;
    const bool useNormal = strong > kMinStrongEigenvalue + kResidualWeight * normalResidual;
    const float remainderX = useFull ? fullX : (useNormal ? 0.0f - step * axisX : 0.0f);
    const float remainderY = useFull ? fullY : (useNormal ? 0.0f - step * axisY : 0.0f);
    const float residual = useFull ? fullResidual : (useNormal ? normalResidual : t);
    const float displacementX = startX + remainderX;
    const float displacementY = startY + remainderY;
    if (!finest) {
        outX = displacementX;
        outY = displacementY;
        return;
    }
    const float sumS = static_cast<float>(sums[kS]);
    const float stillResidual = std::max((static_cast<float>(sums[kSS]) - sumS * kInverseArea * sumS) * kResidualScale, 0.0f);
    const bool keep = residual < stillResidual;
    outX = keep ? 0.0f - displacementX : 0.0f;
    outY = keep ? 0.0f - displacementY : 0.0f;
}

#if CV_SIMD128
// SolveWindow on four windows at once.
inline void SolveWindows(const cv::v_int32x4* sums, bool finest, const float* startX, const float* startY,
                         float* outX, float* outY) {
    using cv::v_float32x4;
    const v_float32x4 zero = cv::v_setzero_f32();
    const v_float32x4 inverseArea = cv::v_setall_f32(kInverseArea);
    const v_float32x4 tensorScale = cv::v_setall_f32(kTensorScale);
    const v_float32x4 mismatchScale = cv::v_setall_f32(kMismatchScale);
    const v_float32x4 residualScale = cv::v_setall_f32(kResidualScale);
    const v_float32x4 smallest = cv::v_setall_f32(kSmallestDenominator);
    const v_float32x4 residualWeight = cv::v_setall_f32(kResidualWeight);

    const v_float32x4 sumX = cv::v_cvt_f32(sums[kX]);
    const v_float32x4 sumY = cv::v_cvt_f32(sums[kY]);
    const v_float32x4 sumT = cv::v_cvt_f32(sums[kT]);
    const v_float32x4 meanX = sumX * inverseArea;
    const v_float32x4 meanY = sumY * inverseArea;
    const v_float32x4 meanT = sumT * inverseArea;
    const v_float32x4 a = (cv::v_cvt_f32(sums[kXX]) - meanX * sumX) * tensorScale;
    const v_float32x4 b = (cv::v_cvt_f32(sums[kXY]) - meanX * sumY) * tensorScale;
    const v_float32x4 d = (cv::v_cvt_f32(sums[kYY]) - meanY * sumY) * tensorScale;
    const v_float32x4 e = (cv::v_cvt_f32(sums[kXT]) - meanX * sumT) * mismatchScale;
    const v_float32x4 f = (cv::v_cvt_f32(sums[kYT]) - meanY * sumT) * mismatchScale;
    const v_float32x4 t = cv::v_max((cv::v_cvt_f32(sums[kTT]) - meanT * sumT) * residualScale, zero);

    const v_float32x4 half = cv::v_setall_f32(0.5f);
    const v_float32x4 halfTrace = (a + d) * half;
    const v_float32x4 halfSpread = (a - d) * half;
    const v_float32x4 root = cv::v_sqrt(halfSpread * halfSpread + b * b);
    const v_float32x4 strong = halfTrace + root;
    const v_float32x4 weak = halfTrace - root;

    const v_float32x4 aDominates = a >= d;
    const v_float32x4 axisX = cv::v_select(aDominates, strong - d, b);
    const v_float32x4 axisY = cv::v_select(aDominates, b, strong - a);
    const v_float32x4 damping = cv::v_setall_f32(finest ? kFinestDamping : 0.0f);
    const v_float32x4 dampedA = a + damping;
    const v_float32x4 dampedD = d + damping;
    const v_float32x4 determinant = cv::v_max(dampedA * dampedD - b * b, smallest);
    const v_float32x4 axisWeight = cv::v_max(strong * (axisX * axisX + axisY * axisY), smallest);
    const v_float32x4 inverseProduct = cv::v_setall_f32(1.0f) / (determinant * axisWeight);

    const v_float32x4 inverseDeterminant = axisWeight * inverseProduct;
    const v_float32x4 fullX = (b * f - dampedD * e) * inverseDeterminant;
    const v_float32x4 fullY = (b * e - dampedA * f) * inverseDeterminant;
    const v_float32x4 two = cv::v_setall_f32(2.0f);
    const v_float32x4 fullResidual = cv::v_max(
        t + two * (fullX * e + fullY * f) + (a * fullX * fullX + two * b * fullX * fullY + d * fullY * fullY), zero);

    const v_float32x4 projection = axisX * e + axisY * f;
    const v_float32x4 step = projection * (determinant * inverseProduct);
    const v_float32x4 normalResidual = cv::v_max(t - step * projection, zero);

    const v_float32x4 useFull = weak > cv::v_setall_f32(kMinWeakEigenvalue) + residualWeight * fullResidual;
    const v_float32x4 useNormal = strong > cv::v_setall_f32(kMinStrongEigenvalue) + residualWeight * normalResidual;
    const v_float32x4 remainderX = cv::v_select(useFull, fullX, cv::v_select(useNormal, zero - step * axisX, zero));
    const v_float32x4 remainderY = cv::v_select(useFull, fullY, cv::v_select(useNormal, zero - step * axisY, zero));
    const v_float32x4 residual = cv::v_select(useFull, fullResidual, cv::v_select(useNormal, normalResidual, t));
    const v_float32x4 displacementX = cv::v_load(startX) + remainderX;
    const v_float32x4 displacementY = cv::v_load(startY) + remainderY;
    if (!finest) {
        cv::v_store(outX, displacementX);
        cv::v_store(outY, displacementY);
        return;
    }
    const v_float32x4 sumS = cv::v_cvt_f32(sums[kS]);
    const v_float32x4 stillResidual = cv::v_max((cv::v_cvt_f32(sums[kSS]) - sumS * inverseArea * sumS) * residualScale, zero);
    const v_float32x4 keep = residual < stillResidual;
    cv::v_store(outX, cv::v_select(keep, zero - displacementX, zero));
    cv::v_store(outY, cv::v_select(keep, zero - displacementY, zero));
}
#endif

#ifdef TORVANE_WINDOW_SOLVE_AVX2
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
                                                        const std::int16_t* temporal, const std::int16_t* still,
                                                        std::int32_t* const* products, std::int32_t* const* columnSums,
                                                        int planeCount, int width) {
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i gradientX = _mm256_sub_epi32(LoadWidened(smooth + x + 1), LoadWidened(smooth + x - 1));
        const __m256i middle = LoadWidened(difference + x);
        const __m256i gradientY =
            _mm256_add_epi32(_mm256_add_epi32(LoadWidened(difference + x - 1), _mm256_add_epi32(middle, middle)),
                             LoadWidened(difference + x + 1));
        const __m256i gradientT = LoadWidened(temporal + x);
        __m256i rowProducts[kMaxPlaneCount] = {
            _mm256_mullo_epi32(gradientX, gradientX), _mm256_mullo_epi32(gradientX, gradientY),
            _mm256_mullo_epi32(gradientY, gradientY), gradientX,
            gradientY,                                _mm256_mullo_epi32(gradientX, gradientT),
            _mm256_mullo_epi32(gradientY, gradientT), gradientT,
            _mm256_mullo_epi32(gradientT, gradientT)};
        if (planeCount > kMovingPlaneCount) {
            const __m256i stillT = LoadWidened(still + x);
            rowProducts[kS] = stillT;
            rowProducts[kSS] = _mm256_mullo_epi32(stillT, stillT);
        }
        for (int plane = 0; plane < planeCount; ++plane) {
            if (kSlideColumnSums) {
                const __m256i leaving = Load8(products[plane] + x);
                Store8(columnSums[plane] + x,
                       _mm256_sub_epi32(_mm256_add_epi32(Load8(columnSums[plane] + x), rowProducts[plane]), leaving));
            }
            Store8(products[plane] + x, rowProducts[plane]);
        }
    }
    return x;
}

__attribute__((target("avx2"))) int SlideColumnSumsAvx2(std::int32_t* const* columnSums,
                                                        const std::int32_t* const* entering,
                                                        const std::int32_t* const* leaving, int planeCount,
                                                        int width) {
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        for (int plane = 0; plane < planeCount; ++plane) {
            Store8(columnSums[plane] + x,
                   _mm256_sub_epi32(_mm256_add_epi32(Load8(columnSums[plane] + x), Load8(entering[plane] + x)),
                                    Load8(leaving[plane] + x)));
        }
    }
    return x;
}

__attribute__((target("avx2"))) int SolveRowAvx2(const std::int32_t* const* columnSums, int planeCount,
                                                 const float* startX, const float* startY, float* outX, float* outY,
                                                 int width) {
    const bool finest = planeCount > kMovingPlaneCount;
    const __m256 zero = _mm256_setzero_ps();
    const __m256 inverseArea = _mm256_set1_ps(kInverseArea);
    const __m256 tensorScale = _mm256_set1_ps(kTensorScale);
    const __m256 mismatchScale = _mm256_set1_ps(kMismatchScale);
    const __m256 residualScale = _mm256_set1_ps(kResidualScale);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 smallest = _mm256_set1_ps(kSmallestDenominator);
    const __m256 residualWeight = _mm256_set1_ps(kResidualWeight);
    const __m256 minWeak = _mm256_set1_ps(kMinWeakEigenvalue);
    const __m256 minStrong = _mm256_set1_ps(kMinStrongEigenvalue);
    const __m256 two = _mm256_set1_ps(2.0f);
    const __m256 damping = _mm256_set1_ps(finest ? kFinestDamping : 0.0f);
    const std::int32_t* planes[kMaxPlaneCount];  // local, so stores cannot alias them
    std::copy(columnSums, columnSums + planeCount, planes);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        __m256 sums[kMaxPlaneCount];
        for (int plane = 0; plane < planeCount; ++plane) {
            const std::int32_t* column = planes[plane] + x;
            sums[plane] = _mm256_cvtepi32_ps(
                _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(Load8(column - 2), Load8(column - 1)),
                                                  _mm256_add_epi32(Load8(column), Load8(column + 1))),
                                 Load8(column + 2)));
        }
        const __m256 meanX = _mm256_mul_ps(sums[kX], inverseArea);
        const __m256 meanY = _mm256_mul_ps(sums[kY], inverseArea);
        const __m256 meanT = _mm256_mul_ps(sums[kT], inverseArea);
        const __m256 a = _mm256_mul_ps(_mm256_sub_ps(sums[kXX], _mm256_mul_ps(meanX, sums[kX])), tensorScale);
        const __m256 b = _mm256_mul_ps(_mm256_sub_ps(sums[kXY], _mm256_mul_ps(meanX, sums[kY])), tensorScale);
        const __m256 d = _mm256_mul_ps(_mm256_sub_ps(sums[kYY], _mm256_mul_ps(meanY, sums[kY])), tensorScale);
        const __m256 e = _mm256_mul_ps(_mm256_sub_ps(sums[kXT], _mm256_mul_ps(meanX, sums[kT])), mismatchScale);
        const __m256 f = _mm256_mul_ps(_mm256_sub_ps(sums[kYT], _mm256_mul_ps(meanY, sums[kT])), mismatchScale);
        const __m256 t = _mm256_max_ps(
            _mm256_mul_ps(_mm256_sub_ps(sums[kTT], _mm256_mul_ps(meanT, sums[kT])), residualScale), zero);

        const __m256 halfTrace = _mm256_mul_ps(_mm256_add_ps(a, d), half);
        const __m256 halfSpread = _mm256_mul_ps(_mm256_sub_ps(a, d), half);
        const __m256 root = _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(halfSpread, halfSpread), _mm256_mul_ps(b, b)));
        const __m256 strong = _mm256_add_ps(halfTrace, root);
        const __m256 weak = _mm256_sub_ps(halfTrace, root);

        const __m256 aDominates = _mm256_cmp_ps(a, d, _CMP_GE_OQ);
        const __m256 axisX = _mm256_blendv_ps(b, _mm256_sub_ps(strong, d), aDominates);
        const __m256 axisY = _mm256_blendv_ps(_mm256_sub_ps(strong, a), b, aDominates);
        const __m256 dampedA = _mm256_add_ps(a, damping);
        const __m256 dampedD = _mm256_add_ps(d, damping);
        const __m256 determinant =
            _mm256_max_ps(_mm256_sub_ps(_mm256_mul_ps(dampedA, dampedD), _mm256_mul_ps(b, b)), smallest);
        const __m256 axisWeight = _mm256_max_ps(
            _mm256_mul_ps(strong, _mm256_add_ps(_mm256_mul_ps(axisX, axisX), _mm256_mul_ps(axisY, axisY))), smallest);
        const __m256 inverseProduct = _mm256_div_ps(one, _mm256_mul_ps(determinant, axisWeight));

        const __m256 inverseDeterminant = _mm256_mul_ps(axisWeight, inverseProduct);
        const __m256 fullX =
            _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(b, f), _mm256_mul_ps(dampedD, e)), inverseDeterminant);
        const __m256 fullY =
            _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(b, e), _mm256_mul_ps(dampedA, f)), inverseDeterminant);
        // t + 2 (v . [e f]) + v' A v, in the scalar path's order.
        const __m256 mismatchTerm =
            _mm256_mul_ps(two, _mm256_add_ps(_mm256_mul_ps(fullX, e), _mm256_mul_ps(fullY, f)));
        const __m256 quadraticTerm = _mm256_add_ps(
            _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(a, fullX), fullX),
                          _mm256_mul_ps(_mm256_mul_ps(_mm256_mul_ps(two, b), fullX), fullY)),
            _mm256_mul_ps(_mm256_mul_ps(d, fullY), fullY));
        const __m256 fullResidual = _mm256_max_ps(_mm256_add_ps(_mm256_add_ps(t, mismatchTerm), quadraticTerm), zero);

        const __m256 projection = _mm256_add_ps(_mm256_mul_ps(axisX, e), _mm256_mul_ps(axisY, f));
        const __m256 step = _mm256_mul_ps(projection, _mm256_mul_ps(determinant, inverseProduct));
        const __m256 normalResidual = _mm256_max_ps(_mm256_sub_ps(t, _mm256_mul_ps(step, projection)), zero);

        const __m256 useFull =
            _mm256_cmp_ps(weak, _mm256_add_ps(minWeak, _mm256_mul_ps(residualWeight, fullResidual)), _CMP_GT_OQ);
        const __m256 useNormal =
            _mm256_cmp_ps(strong, _mm256_add_ps(minStrong, _mm256_mul_ps(residualWeight, normalResidual)), _CMP_GT_OQ);
        const __m256 normalX = _mm256_and_ps(_mm256_sub_ps(zero, _mm256_mul_ps(step, axisX)), useNormal);
        const __m256 normalY = _mm256_and_ps(_mm256_sub_ps(zero, _mm256_mul_ps(step, axisY)), useNormal);
        const __m256 remainderX = _mm256_blendv_ps(normalX, fullX, useFull);
        const __m256 remainderY = _mm256_blendv_ps(normalY, fullY, useFull);
        const __m256 residual =
            _mm256_blendv_ps(_mm256_blendv_ps(t, normalResidual, useNormal), fullResidual, useFull);
        const __m256 displacementX = _mm256_add_ps(_mm256_loadu_ps(startX + x), remainderX);
        const __m256 displacementY = _mm256_add_ps(_mm256_loadu_ps(startY + x), remainderY);
        if (!finest) {
            _mm256_storeu_ps(outX + x, displacementX);
            _mm256_storeu_ps(outY + x, displacementY);
            continue;
        }
        const __m256 stillResidual = _mm256_max_ps(
            _mm256_mul_ps(_mm256_sub_ps(sums[kSS], _mm256_mul_ps(_mm256_mul_ps(sums[kS], inverseArea), sums[kS])),
                          residualScale),
            zero);
        const __m256 keep = _mm256_cmp_ps(residual, stillResidual, _CMP_LT_OQ);
        _mm256_storeu_ps(outX + x, _mm256_and_ps(_mm256_sub_ps(zero, displacementX), keep));
        _mm256_storeu_ps(outY + x, _mm256_and_ps(_mm256_sub_ps(zero, displacementY), keep));
    }
    return x;
}
#endif

bool CpuHasAvx2() {
#ifdef TORVANE_WINDOW_SOLVE_AVX2
    static const bool hasAvx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return hasAvx2;
#else
    return false;
#endif
}

// Vertical halves of the separable 3x3 Sobel (8x scale) of one template row and
// the temporal differences; the Sobel rows get one replicated column each side.
void VerticalSobelAndTemporal(const std::uint8_t* above, const std::uint8_t* centre, const std::uint8_t* below,
                              const std::int16_t* warped, const std::int16_t* stillWarped, std::int16_t* smooth,
                              std::int16_t* difference, std::int16_t* temporal, std::int16_t* stillTemporal,
                              int width) {
    int x = 0;
#if CV_SIMD128
    for (; x + cv::v_int16x8::nlanes <= width; x += cv::v_int16x8::nlanes) {
        const cv::v_int16x8 up = cv::v_reinterpret_as_s16(cv::v_load_expand(above + x));
        const cv::v_int16x8 mid = cv::v_reinterpret_as_s16(cv::v_load_expand(centre + x));
        const cv::v_int16x8 down = cv::v_reinterpret_as_s16(cv::v_load_expand(below + x));
        cv::v_store(smooth + x, up + mid + mid + down);
        cv::v_store(difference + x, down - up);
        const cv::v_int16x8 scaled = mid << 4;
        cv::v_store(temporal + x, cv::v_load(warped + x) - scaled);
        if (stillWarped) cv::v_store(stillTemporal + x, cv::v_load(stillWarped + x) - scaled);
    }
#endif
    for (; x < width; ++x) {
        smooth[x] = static_cast<std::int16_t>(above[x] + 2 * centre[x] + below[x]);
        difference[x] = static_cast<std::int16_t>(below[x] - above[x]);
        temporal[x] = static_cast<std::int16_t>(warped[x] - kWarpFixedScale * centre[x]);
        if (stillWarped) stillTemporal[x] = static_cast<std::int16_t>(stillWarped[x] - kWarpFixedScale * centre[x]);
    }
    smooth[-1] = smooth[0];
    smooth[width] = smooth[width - 1];
    difference[-1] = difference[0];
    difference[width] = difference[width - 1];
}

// Horizontal halves of the Sobel and the products of one row, into its ring
// slot. With kSlideColumnSums the slot still holds the row five above, which
// leaves the window as this one enters: the column sums are updated on the way.
template <bool kSlideColumnSums>
void ComputeProducts(const std::int16_t* smooth, const std::int16_t* difference, const std::int16_t* temporal,
                     const std::int16_t* still, std::int32_t* const* products, std::int32_t* const* columnSums,
                     int planeCount, int width, bool wide) {
    int x = 0;
#ifdef TORVANE_WINDOW_SOLVE_AVX2
    if (wide) {
        x = ComputeProductsAvx2<kSlideColumnSums>(smooth, difference, temporal, still, products, columnSums,
                                                  planeCount, width);
    }
#else
    (void)wide;
#endif
#if CV_SIMD128
    const cv::v_int16x8 one = cv::v_setall_s16(1);
    for (; x + cv::v_int16x8::nlanes <= width; x += cv::v_int16x8::nlanes) {
        const cv::v_int16x8 gradientX = cv::v_load(smooth + x + 1) - cv::v_load(smooth + x - 1);
        const cv::v_int16x8 middle = cv::v_load(difference + x);
        const cv::v_int16x8 gradientY =
            cv::v_load(difference + x - 1) + middle + middle + cv::v_load(difference + x + 1);
        const cv::v_int16x8 gradientT = cv::v_load(temporal + x);
        const cv::v_int16x8 stillT = planeCount > kMovingPlaneCount ? cv::v_load(still + x) : one;
        const cv::v_int16x8 factorsLeft[kMaxPlaneCount] = {gradientX, gradientX, gradientY, gradientX,
                                                           gradientY, gradientX, gradientY, gradientT,
                                                           gradientT, stillT,    stillT};
        const cv::v_int16x8 factorsRight[kMaxPlaneCount] = {gradientX, gradientY, gradientY, one, one,   gradientT,
                                                            gradientT, one,       gradientT, one, stillT};
        for (int plane = 0; plane < planeCount; ++plane) {
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
        const std::int32_t stillT = planeCount > kMovingPlaneCount ? still[x] : 0;
        const std::int32_t rowProducts[kMaxPlaneCount] = {
            gradientX * gradientX, gradientX * gradientY, gradientY * gradientY, gradientX,
            gradientY,             gradientX * gradientT, gradientY * gradientT, gradientT,
            gradientT * gradientT, stillT,                stillT * stillT};
        for (int plane = 0; plane < planeCount; ++plane) {
            if (kSlideColumnSums) columnSums[plane][x] += rowProducts[plane] - products[plane][x];
            products[plane][x] = rowProducts[plane];
        }
    }
}

// Column sums += entering row - leaving row, where the two rows sit in different slots.
void SlideColumnSums(std::int32_t* const* columnSums, const std::int32_t* const* entering,
                     const std::int32_t* const* leaving, int planeCount, int width, bool wide) {
    int x = 0;
#ifdef TORVANE_WINDOW_SOLVE_AVX2
    if (wide) x = SlideColumnSumsAvx2(columnSums, entering, leaving, planeCount, width);
#else
    (void)wide;
#endif
    const int firstScalar = x;
    for (int plane = 0; plane < planeCount; ++plane) {
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

// Per pixel: the 5-wide horizontal sums of the column sums, then the solve.
void SolveRow(const std::int32_t* const* columnSums, int planeCount, const float* startX, const float* startY,
              float* outX, float* outY, int width, bool wide) {
    const bool finest = planeCount > kMovingPlaneCount;
    int x = 0;
#ifdef TORVANE_WINDOW_SOLVE_AVX2
    if (wide) x = SolveRowAvx2(columnSums, planeCount, startX, startY, outX, outY, width);
#else
    (void)wide;
#endif
#if CV_SIMD128
    for (; x + cv::v_int32x4::nlanes <= width; x += cv::v_int32x4::nlanes) {
        cv::v_int32x4 sums[kMaxPlaneCount];
        for (int plane = 0; plane < planeCount; ++plane) {
            const std::int32_t* column = columnSums[plane] + x;
            sums[plane] = cv::v_load(column - 2) + cv::v_load(column - 1) + cv::v_load(column) +
                          cv::v_load(column + 1) + cv::v_load(column + 2);
        }
        SolveWindows(sums, finest, startX + x, startY + x, outX + x, outY + x);
    }
#endif
    for (; x < width; ++x) {
        std::int32_t sums[kMaxPlaneCount];
        for (int plane = 0; plane < planeCount; ++plane) {
            const std::int32_t* column = columnSums[plane] + x;
            sums[plane] = column[-2] + column[-1] + column[0] + column[1] + column[2];
        }
        SolveWindow(sums, finest, startX[x], startY[x], outX[x], outY[x]);
    }
}

// Scratch sizes for pictures up to `width` columns.
void SizeBandScratch(WindowSolveWorkspace::BandScratch& scratch, int width) {
    const std::size_t columns = static_cast<std::size_t>(width);
    scratch.verticalSmooth.assign(columns + 2, 0);
    scratch.verticalDifference.assign(columns + 2, 0);
    scratch.temporal.assign(columns, 0);
    scratch.stillTemporal.assign(columns, 0);
    scratch.productRing.assign(static_cast<std::size_t>(kRingRows * kMaxPlaneCount) * columns, 0);
    scratch.columnSums.assign(kMaxPlaneCount * (columns + 2 * kWindowRadius), 0);
}

// Streams the rows of one band. Products of each template row go into a ring
// of five rows; running column sums over the five rows of the window slide down
// by one row per output row (exact in integers), and each output row is solved
// from 5-wide horizontal sums of them. A band computes its own halo rows, so
// results do not depend on how rows are split.
class BandProcessor {
public:
    BandProcessor(const LevelInputs& inputs, cv::Mat& outX, cv::Mat& outY, WindowSolveWorkspace::BandScratch& scratch,
                  bool wide)
        : inputs_(inputs),
          outX_(outX),
          outY_(outY),
          scratch_(scratch),
          width_(inputs.templateGray->cols),
          height_(inputs.templateGray->rows),
          planeCount_(inputs.stillWarped ? kMaxPlaneCount : kMovingPlaneCount),
          wide_(wide) {
        for (int plane = 0; plane < kMaxPlaneCount; ++plane) {
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
                std::int32_t* enteringPlanes[kMaxPlaneCount];
                std::int32_t* leavingPlanes[kMaxPlaneCount];
                RingPlanes(enteringRow, enteringPlanes);
                RingPlanes(std::max(leaving, 0), leavingPlanes);
                SlideColumnSums(columnSums_, enteringPlanes, leavingPlanes, planeCount_, width_, wide_);
            }
            Solve(row);
        }
    }

private:
    void RingPlanes(int row, std::int32_t* (&planes)[kMaxPlaneCount]) const {
        const int slot = row % kRingRows;
        for (int plane = 0; plane < kMaxPlaneCount; ++plane) {
            planes[plane] =
                scratch_.productRing.data() + static_cast<std::size_t>(slot * kMaxPlaneCount + plane) * width_;
        }
    }

    template <bool kSlideColumnSums>
    void ComputeRowProducts(int row) {
        std::int16_t* smooth = scratch_.verticalSmooth.data() + 1;
        std::int16_t* difference = scratch_.verticalDifference.data() + 1;
        const cv::Mat& image = *inputs_.templateGray;
        VerticalSobelAndTemporal(image.ptr<std::uint8_t>(ClampIndex(row - 1, height_)), image.ptr<std::uint8_t>(row),
                                 image.ptr<std::uint8_t>(ClampIndex(row + 1, height_)),
                                 inputs_.warped->ptr<std::int16_t>(row),
                                 inputs_.stillWarped ? inputs_.stillWarped->ptr<std::int16_t>(row) : nullptr, smooth,
                                 difference, scratch_.temporal.data(), scratch_.stillTemporal.data(), width_);
        std::int32_t* planes[kMaxPlaneCount];
        RingPlanes(row, planes);
        ComputeProducts<kSlideColumnSums>(smooth, difference, scratch_.temporal.data(), scratch_.stillTemporal.data(),
                                          planes, columnSums_, planeCount_, width_, wide_);
    }

    void AddUpFirstWindow(int row) {
        std::int32_t* windowRows[kRingRows][kMaxPlaneCount];
        for (int offset = 0; offset < kRingRows; ++offset) {
            RingPlanes(ClampIndex(row - kWindowRadius + offset, height_), windowRows[offset]);
        }
        for (int plane = 0; plane < planeCount_; ++plane) {
            for (int x = 0; x < width_; ++x) {
                columnSums_[plane][x] = windowRows[0][plane][x] + windowRows[1][plane][x] + windowRows[2][plane][x] +
                                        windowRows[3][plane][x] + windowRows[4][plane][x];
            }
        }
    }

    void Solve(int row) {
        for (int plane = 0; plane < planeCount_; ++plane) {
            std::int32_t* sums = columnSums_[plane];
            for (int pad = 1; pad <= kWindowRadius; ++pad) {
                sums[-pad] = sums[0];
                sums[width_ - 1 + pad] = sums[width_ - 1];
            }
        }
        SolveRow(columnSums_, planeCount_, inputs_.startX->ptr<float>(row), inputs_.startY->ptr<float>(row),
                 outX_.ptr<float>(row), outY_.ptr<float>(row), width_, wide_);
    }

    const LevelInputs& inputs_;
    cv::Mat& outX_;
    cv::Mat& outY_;
    WindowSolveWorkspace::BandScratch& scratch_;
    const int width_;
    const int height_;
    const int planeCount_;
    const bool wide_;
    std::int32_t* columnSums_[kMaxPlaneCount];
};

class BandLoop : public cv::ParallelLoopBody {
public:
    BandLoop(const LevelInputs& inputs, cv::Mat& outX, cv::Mat& outY, WindowSolveWorkspace& workspace, int bandCount,
             bool wide)
        : inputs_(inputs), outX_(outX), outY_(outY), workspace_(workspace), bandCount_(bandCount), wide_(wide) {}

    void operator()(const cv::Range& bands) const override {
        const std::int64_t height = inputs_.templateGray->rows;
        for (int band = bands.start; band < bands.end; ++band) {
            const int firstRow = static_cast<int>(height * band / bandCount_);
            const int endRow = static_cast<int>(height * (band + 1) / bandCount_);
            BandProcessor processor(inputs_, outX_, outY_, workspace_.bands[static_cast<std::size_t>(band)], wide_);
            processor.Run(firstRow, endRow);
        }
    }

private:
    const LevelInputs& inputs_;
    cv::Mat& outX_;
    cv::Mat& outY_;
    WindowSolveWorkspace& workspace_;
    const int bandCount_;
    const bool wide_;
};

void CheckInputs(const LevelInputs& inputs) {
    const cv::Mat& image = *inputs.templateGray;
    CV_Assert(image.type() == CV_8UC1 && !image.empty());
    CV_Assert(inputs.warped->type() == CV_16SC1 && inputs.warped->size() == image.size());
    CV_Assert(!inputs.stillWarped ||
              (inputs.stillWarped->type() == CV_16SC1 && inputs.stillWarped->size() == image.size()));
    CV_Assert(inputs.startX->type() == CV_32FC1 && inputs.startX->size() == image.size());
    CV_Assert(inputs.startY->type() == CV_32FC1 && inputs.startY->size() == image.size());
}

}  // namespace

bool WindowSolveWideSimdAvailable() { return CpuHasAvx2(); }

void SolveLevel(const LevelInputs& inputs, cv::Mat& outX, cv::Mat& outY, WindowSolveWorkspace& workspace,
                bool useWideSimd) {
    CheckInputs(inputs);
    const int width = inputs.templateGray->cols;
    const int height = inputs.templateGray->rows;
    outX.create(height, width, CV_32FC1);
    outY.create(height, width, CV_32FC1);

    const int bandCount = std::max(1, std::min(cv::getNumThreads(), height / kMinRowsPerBand));
    if (workspace.bands.size() < static_cast<std::size_t>(bandCount) || workspace.preparedWidth < width) {
        const int preparedWidth = std::max(workspace.preparedWidth, width);
        workspace.bands.resize(std::max(workspace.bands.size(), static_cast<std::size_t>(bandCount)));
        for (WindowSolveWorkspace::BandScratch& scratch : workspace.bands) SizeBandScratch(scratch, preparedWidth);
        workspace.preparedWidth = preparedWidth;
        ++workspace.scratchResizeCount;
    }

    const bool wide = useWideSimd && CpuHasAvx2();
    const BandLoop loop(inputs, outX, outY, workspace, bandCount, wide);
    if (bandCount == 1) {
        loop(cv::Range(0, 1));
    } else {
        cv::parallel_for_(cv::Range(0, bandCount), loop, bandCount);
    }
}

void SolveLevelReference(const LevelInputs& inputs, cv::Mat& outX, cv::Mat& outY) {
    CheckInputs(inputs);
    const cv::Mat& image = *inputs.templateGray;
    const int width = image.cols;
    const int height = image.rows;
    const bool finest = inputs.stillWarped != nullptr;
    outX.create(height, width, CV_32FC1);
    outY.create(height, width, CV_32FC1);

    // Replicated borders: every read clamps its coordinates.
    const auto templateAt = [&](int x, int y) -> std::int32_t {
        return image.at<std::uint8_t>(ClampIndex(y, height), ClampIndex(x, width));
    };
    // Per pixel: 3x3 Sobel at 8x scale, and both temporal differences, exact integers.
    cv::Mat factors(height * width, kMaxPlaneCount, CV_32SC1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::int32_t ix = (templateAt(x + 1, y - 1) + 2 * templateAt(x + 1, y) + templateAt(x + 1, y + 1)) -
                                    (templateAt(x - 1, y - 1) + 2 * templateAt(x - 1, y) + templateAt(x - 1, y + 1));
            const std::int32_t iy = (templateAt(x - 1, y + 1) + 2 * templateAt(x, y + 1) + templateAt(x + 1, y + 1)) -
                                    (templateAt(x - 1, y - 1) + 2 * templateAt(x, y - 1) + templateAt(x + 1, y - 1));
            const std::int32_t it = inputs.warped->at<std::int16_t>(y, x) - kWarpFixedScale * templateAt(x, y);
            const std::int32_t is =
                finest ? inputs.stillWarped->at<std::int16_t>(y, x) - kWarpFixedScale * templateAt(x, y) : 0;
            std::int32_t* row = factors.ptr<std::int32_t>(y * width + x);
            const std::int32_t products[kMaxPlaneCount] = {ix * ix, ix * iy, iy * iy, ix,      iy,     ix * it,
                                                           iy * it, it,      it * it, is,      is * is};
            std::copy(products, products + kMaxPlaneCount, row);
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::int32_t sums[kMaxPlaneCount] = {};
            for (int dy = -kWindowRadius; dy <= kWindowRadius; ++dy) {
                for (int dx = -kWindowRadius; dx <= kWindowRadius; ++dx) {
                    const std::int32_t* products =
                        factors.ptr<std::int32_t>(ClampIndex(y + dy, height) * width + ClampIndex(x + dx, width));
                    for (int plane = 0; plane < kMaxPlaneCount; ++plane) sums[plane] += products[plane];
                }
            }
            SolveWindow(sums, finest, inputs.startX->at<float>(y, x), inputs.startY->at<float>(y, x),
                        outX.at<float>(y, x), outY.at<float>(y, x));
        }
    }
}

}  // namespace torvane
