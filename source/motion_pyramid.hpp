// Coarse-to-fine dense motion field on the current picture's grid.
//
// Each level runs the 5x5 guarded window solve of window_solve.hpp between the
// current picture (whose gradients the window uses) and the previous picture
// warped by the coarser level's estimate, so that every level only has to find
// a small remainder. The answer at pixel (x, y) is the velocity of whatever the
// current frame shows at (x, y): where it came from is (x - vx, y - vy) in the
// previous frame.
//
// Lighting: a whole-frame gain and offset between the two pictures is fitted
// first and taken out of the previous picture's samples, and every window also
// removes its own mean brightness change, so exposure steps and gain changes do
// not read as motion.
//
// Windows of the coarsest level that find nothing to follow take the picture's
// dominant motion, so fine textures that the pyramid averages away still start
// near the right answer; the finest level damps its remainder towards the start
// the coarser levels agreed on, and keeps a motion only where it explains the
// window better than no motion at all.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <vector>

#include "window_solve.hpp"

namespace torvane {

// Levels used for a frame of this size: the picture is halved while its shorter
// side stays at least kMinCoarsestSide pixels, so a 640x480 frame has 5 levels
// (coarsest 40x30), 1920x1080 has 6, and one whose shorter side is under 59 px has 1.
constexpr int kMinCoarsestSide = 30;
constexpr int kMaxMotionLevels = 8;
int MotionLevelCount(int width, int height);

// Scratch and history of the field, reused across frames so that steady-state
// calls allocate nothing.
struct MotionFieldWorkspace {
    // One pyramid: level 0 is the picture itself, each next one half the size.
    struct Pyramid {
        std::vector<cv::Mat> levels;  // 8-bit grey
        int levelCount = 0;
    };
    Pyramid previous;  // pyramid of the previous picture (the last call's current one)
    Pyramid current;   // pyramid of the current picture; the two exchange roles after each call
    // Per level: the start estimate (from the coarser level) and this level's result.
    std::vector<cv::Mat> startX, startY, levelFlowX, levelFlowY;
    std::vector<cv::Mat> warpedPrevious;  // previous level picture sampled at x + start, corrected, 16x fixed point
    cv::Mat correctedPrevious;            // finest previous picture corrected, not moved, 16x fixed point
    std::vector<cv::Mat> boxScratchX, boxScratchY;  // per level: the coarser result's box average, row pass and result
    std::vector<int> halvingScratch;  // one row of vertical filter sums while a level is halved
    std::vector<float> medianScratchX, medianScratchY;  // the coarsest level's motions, for their median
    WindowSolveWorkspace windowSolve;
    // AVX2 when the CPU has it (same result, faster); false keeps the baseline path.
    bool useWideSimd = true;
};

// Velocity of every pixel of currentGray (pixels per frame, content moving right
// gives positive x) from previousGray. Both CV_8UC1 and the same size (>= 1x1).
// flowX/flowY: CV_32FC1, (re)created at that size. levelCount 0 picks
// MotionLevelCount; a larger count than the size allows is reduced to it.
// When reusePreviousPyramid is true the caller promises that previousGray is the
// currentGray of the last call on this workspace, whose pyramid is then reused.
void ComputeMotionField(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX, cv::Mat& flowY,
                        MotionFieldWorkspace& workspace, int levelCount = 0, bool reusePreviousPyramid = false);

// One pyramid step: the 5-tap [1 4 6 4 1] / 16 Gaussian in both directions
// with mirrored borders, every second pixel kept, rounded to nearest: the same
// picture as cv::pyrDown, without its per-call buffers. target: (w+1)/2 x (h+1)/2.
void HalvePicture(const cv::Mat& source, cv::Mat& target, std::vector<int>& columnSums);

// Plain per-pixel version of the whole method, the yardstick of the fast one.
void ComputeMotionFieldReference(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX,
                                 cv::Mat& flowY, int levelCount = 0);

}  // namespace torvane
