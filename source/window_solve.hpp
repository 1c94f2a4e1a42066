// One level of the motion field: the 5x5 guarded window solve between a
// template picture and the previous picture warped onto it.
//
// Per pixel of the template T (the current picture at this level):
//  * Ix, Iy: 3x3 Sobel of T at 8x scale; It = W - 16 T, where W is the warped,
//    brightness-corrected previous picture in 16x fixed point. All exact integers,
//    replicated borders.
//  * Window sums over 5x5 (replicated borders) of Ix², IxIy, Iy², Ix, Iy, IxIt,
//    IyIt, It, It² in 32-bit integers: exact, so they never depend on evaluation
//    order, SIMD width or how rows are split among threads. The finest level also
//    sums It0 and It0², the temporal difference with no motion at all.
//  * Each window allows its own brightness offset: the sums are centred on the
//    window means before the 2x2 least-squares solve, which is guarded by the
//    structure tensor's eigenvalues against thresholds that grow with the window's
//    own residual. A window whose weak direction is not well above its noise gives
//    normal flow along the strong direction; one with no usable gradient, nothing.
//  * The remainder found is added to the start displacement. On the finest level
//    the remainder is damped (a ridge term on the tensor), and the result is kept
//    only where it explains the window better than no motion at all, and is
//    turned into the velocity the probes read.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvane {

// Fixed-point scale of warped samples: 4 fractional bits.
constexpr int kWarpFixedScale = 16;
// Warped samples are clamped to this range (in 16x units), so that every window
// sum fits a 32-bit integer whatever the brightness correction.
constexpr int kWarpFixedMin = -4095;
constexpr int kWarpFixedMax = 8191;

// Scratch reused across calls: sized on the first call (or when the picture gets
// wider or more row bands run), so that steady-state calls allocate nothing.
struct WindowSolveWorkspace {
    // One per row band processed in parallel; every band owns its rows.
    struct BandScratch {
        // Vertical halves of the Sobel for one row, 1 replicated column each side:
        // T[y-1] + 2 T[y] + T[y+1], and T[y+1] - T[y-1].
        std::vector<std::int16_t> verticalSmooth;
        std::vector<std::int16_t> verticalDifference;
        std::vector<std::int16_t> temporal;       // W - 16 T of one row
        std::vector<std::int16_t> stillTemporal;  // W0 - 16 T of one row (finest level)
        std::vector<std::int32_t> productRing;    // product planes for each of the last five rows
        std::vector<std::int32_t> columnSums;     // planes of 5-row sums, 2 replicated columns each side
    };
    std::vector<BandScratch> bands;
    int preparedWidth = 0;
    // How many times the scratch was (re)sized: steady-state calls leave it unchanged.
    std::size_t scratchResizeCount = 0;
};

// Whether this CPU runs the AVX2 path of the level solve.
bool WindowSolveWideSimdAvailable();

// The inputs of one level, all of the template's size.
struct LevelInputs {
    const cv::Mat* templateGray;   // CV_8UC1: the current picture at this level
    const cv::Mat* warped;         // CV_16SC1: previous picture sampled at x + start, corrected, 16x fixed point
    const cv::Mat* stillWarped;    // CV_16SC1: the same sampled at x (no motion); finest level only, else null
    const cv::Mat* startX;         // CV_32FC1: start displacement (where content at x was in the previous picture, minus x)
    const cv::Mat* startY;
};

// Coarser levels write the displacement start + remainder into outX/outY; the
// finest (inputs.stillWarped set) writes the velocity, 0 where no motion explains
// the window as well. outX/outY are CV_32FC1 of the template's size.
void SolveLevel(const LevelInputs& inputs, cv::Mat& outX, cv::Mat& outY, WindowSolveWorkspace& workspace,
                bool useWideSimd);

// Plain per-pixel version of the same, the yardstick of SolveLevel.
void SolveLevelReference(const LevelInputs& inputs, cv::Mat& outX, cv::Mat& outY);

}  // namespace torvane
