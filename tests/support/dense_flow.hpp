// The single-scale dense 5x5 Lucas-Kanade field the library computed before its
// coarse-to-fine field: kept beside the tests and benchmarks as the yardstick
// that the new field's small-motion precision and speed are measured against.
//
// Method, shared by the fast and the reference path:
//  * Ix, Iy: 3x3 Sobel of the previous frame, It: current - previous, all kept
//    as exact integers (the Sobel at 8x scale), replicated borders.
//  * The six products Ix², IxIy, Iy², IxIt, IyIt, It² summed over a 5x5 window
//    (replicated borders) in 32-bit integers: exact, so the sums never depend on
//    evaluation order, SIMD width or how rows are split among threads.
//  * Per pixel, a 2x2 least-squares solve guarded by the structure tensor's
//    eigenvalues, with thresholds that grow with the window's own residual
//    (the part of It the solution does not explain): a window whose weak
//    direction is not well above its noise gives normal flow along the strong
//    direction, and a window with no usable gradient gives zero.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvane {

// Scratch reused across calls: sized on the first call (or when the picture
// gets wider or more row bands run), so that steady-state calls allocate nothing.
struct DenseFlowWorkspace {
    // One per row band processed in parallel; every band owns its rows.
    struct BandScratch {
        // Vertical halves of the Sobel for one row, 1 replicated column each side:
        // prev[y-1] + 2 prev[y] + prev[y+1], and prev[y+1] - prev[y-1].
        std::vector<std::int16_t> verticalSmooth;
        std::vector<std::int16_t> verticalDifference;
        std::vector<std::int16_t> temporalDifference;  // cur[y] - prev[y]
        std::vector<std::int32_t> productRing;         // six product planes for each of the last five rows
        std::vector<std::int32_t> columnSums;          // six planes of 5-row sums, 2 replicated columns each side
    };
    std::vector<BandScratch> bands;
    int preparedWidth = 0;
    // How many times the scratch was (re)sized: steady-state calls leave it unchanged.
    std::size_t scratchResizeCount = 0;
    // AVX2 when the CPU has it (same result, faster); false keeps the baseline
    // SSE2 path, so that tests can check both on one machine.
    bool useWideSimd = true;
};

// Whether this CPU runs the AVX2 path of ComputeDenseFlow.
bool DenseFlowWideSimdAvailable();

// Velocity of every pixel from previousGray to currentGray (pixels per frame;
// content moving right gives positive x). previousGray/currentGray: CV_8UC1, same
// size (any size >= 1x1). flowX/flowY: CV_32FC1, (re)created at that size.
// Rows are split among cv::parallel_for_ threads; the result does not depend on
// the thread count.
void ComputeDenseFlow(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX, cv::Mat& flowY,
                      DenseFlowWorkspace& workspace);

// Plain per-pixel scalar version of the same method, the yardstick of the fast one.
void ComputeDenseFlowReference(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX, cv::Mat& flowY);

}  // namespace torvane
