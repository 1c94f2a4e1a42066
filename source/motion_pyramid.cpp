// The coarse-to-fine driver of the motion field. See motion_pyramid.hpp.
#include "motion_pyramid.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>

#include "motion_warp.hpp"

namespace torvane {
namespace {

// Pyramid levels 0..levelCount-1 of a picture; level 0 is a copy, so the
// pyramid stays valid when the caller reuses its image.
void BuildPyramid(const cv::Mat& picture, int levelCount, MotionFieldWorkspace::Pyramid& pyramid) {
    pyramid.levels.resize(static_cast<std::size_t>(std::max<int>(levelCount, static_cast<int>(pyramid.levels.size()))));
    picture.copyTo(pyramid.levels[0]);
    for (int level = 1; level < levelCount; ++level) {
        cv::pyrDown(pyramid.levels[static_cast<std::size_t>(level - 1)], pyramid.levels[static_cast<std::size_t>(level)]);
    }
    pyramid.levelCount = levelCount;
}

int ChooseLevelCount(const cv::Mat& picture, int requested) {
    const int automatic = MotionLevelCount(picture.cols, picture.rows);
    return requested <= 0 ? automatic : std::min(requested, automatic);
}

void CheckPictures(const cv::Mat& previousGray, const cv::Mat& currentGray) {
    CV_Assert(previousGray.type() == CV_8UC1 && currentGray.type() == CV_8UC1);
    CV_Assert(previousGray.size() == currentGray.size() && !previousGray.empty());
}

// Per-level images of the workspace, grown to the level count.
void SizeLevelImages(MotionFieldWorkspace& workspace, int levelCount) {
    const std::size_t count = static_cast<std::size_t>(levelCount);
    for (std::vector<cv::Mat>* images : {&workspace.startX, &workspace.startY, &workspace.levelFlowX,
                                         &workspace.levelFlowY, &workspace.warpedPrevious}) {
        if (images->size() < count) images->resize(count);
    }
}

// Windows of the coarsest level that found nothing to follow (flat there, like a
// fine texture that the pyramid averages away) would hold a start of exactly zero
// and keep every finer level from catching up with fast motion. When most of the
// picture moves together, they take the median motion of the windows that found
// some. A median below kSmallestDominantMotion (coarsest pixels) is left alone,
// so that a still scene with a moving object keeps its still regions still.
constexpr float kSmallestDominantMotion = 0.1f;

void FillFromDominantMotion(cv::Mat& flowX, cv::Mat& flowY, std::vector<float>& scratchX,
                            std::vector<float>& scratchY) {
    scratchX.clear();
    scratchY.clear();
    for (int y = 0; y < flowX.rows; ++y) {
        const float* rowX = flowX.ptr<float>(y);
        const float* rowY = flowY.ptr<float>(y);
        for (int x = 0; x < flowX.cols; ++x) {
            if (rowX[x] != 0.0f || rowY[x] != 0.0f) {
                scratchX.push_back(rowX[x]);
                scratchY.push_back(rowY[x]);
            }
        }
    }
    // Only when the windows that found motion are the majority.
    if (scratchX.size() * 2 < flowX.total()) return;
    const std::size_t middle = scratchX.size() / 2;
    std::nth_element(scratchX.begin(), scratchX.begin() + static_cast<std::ptrdiff_t>(middle), scratchX.end());
    std::nth_element(scratchY.begin(), scratchY.begin() + static_cast<std::ptrdiff_t>(middle), scratchY.end());
    const float dominantX = scratchX[middle], dominantY = scratchY[middle];
    if (!(dominantX * dominantX + dominantY * dominantY >= kSmallestDominantMotion * kSmallestDominantMotion)) return;
    for (int y = 0; y < flowX.rows; ++y) {
        float* rowX = flowX.ptr<float>(y);
        float* rowY = flowY.ptr<float>(y);
        for (int x = 0; x < flowX.cols; ++x) {
            if (rowX[x] == 0.0f && rowY[x] == 0.0f) {
                rowX[x] = dominantX;
                rowY[x] = dominantY;
            }
        }
    }
}

// Which kernels a pass runs: the fast ones, or their plain references.
struct Kernels {
    bool reference;
    bool useWideSimd;
};

// All levels, coarsest first; the finest writes the velocity into flowX/flowY.
void RunLevels(const MotionFieldWorkspace::Pyramid& previous, const MotionFieldWorkspace::Pyramid& current,
               int levelCount, cv::Mat& flowX, cv::Mat& flowY, MotionFieldWorkspace& workspace, Kernels kernels) {
    SizeLevelImages(workspace, levelCount);
    const BrightnessFit fit = FitBrightness(previous.levels[static_cast<std::size_t>(levelCount - 1)],
                                            current.levels[static_cast<std::size_t>(levelCount - 1)]);
    for (int level = levelCount - 1; level >= 0; --level) {
        const std::size_t index = static_cast<std::size_t>(level);
        const cv::Mat& image = current.levels[index];
        const cv::Mat& previousImage = previous.levels[index];
        cv::Mat& startX = workspace.startX[index];
        cv::Mat& startY = workspace.startY[index];
        if (level == levelCount - 1) {
            startX.create(image.size(), CV_32FC1);
            startY.create(image.size(), CV_32FC1);
            startX.setTo(0.0f);
            startY.setTo(0.0f);
        } else {
            StartFromCoarser(workspace.levelFlowX[index + 1], workspace.levelFlowY[index + 1], image.size(), startX,
                             startY, workspace.boxScratchX, workspace.boxScratchY);
        }
        cv::Mat& warped = workspace.warpedPrevious[index];
        if (kernels.reference) {
            WarpPreviousReference(previousImage, image, startX, startY, fit, warped);
        } else {
            WarpPrevious(previousImage, image, startX, startY, fit, warped);
        }
        const bool finest = level == 0;
        if (finest) CorrectPrevious(previousImage, fit, workspace.correctedPrevious);
        const LevelInputs inputs{&image, &warped, finest ? &workspace.correctedPrevious : nullptr, &startX, &startY};
        cv::Mat& outX = finest ? flowX : workspace.levelFlowX[index];
        cv::Mat& outY = finest ? flowY : workspace.levelFlowY[index];
        if (kernels.reference) {
            SolveLevelReference(inputs, outX, outY);
        } else {
            SolveLevel(inputs, outX, outY, workspace.windowSolve, kernels.useWideSimd);
        }
        if (level == levelCount - 1 && !finest) {
            FillFromDominantMotion(outX, outY, workspace.medianScratchX, workspace.medianScratchY);
        }
    }
}

}  // namespace

int MotionLevelCount(int width, int height) {
    int side = std::min(width, height);
    int levels = 1;
    while (levels < kMaxMotionLevels && (side + 1) / 2 >= kMinCoarsestSide) {
        side = (side + 1) / 2;
        ++levels;
    }
    return levels;
}

void ComputeMotionField(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX, cv::Mat& flowY,
                        MotionFieldWorkspace& workspace, int levelCount, bool reusePreviousPyramid) {
    CheckPictures(previousGray, currentGray);
    const int levels = ChooseLevelCount(currentGray, levelCount);
    BuildPyramid(currentGray, levels, workspace.current);
    const bool previousUsable = reusePreviousPyramid && workspace.previous.levelCount == levels &&
                                workspace.previous.levels[0].size() == previousGray.size();
    if (!previousUsable) BuildPyramid(previousGray, levels, workspace.previous);
    flowX.create(currentGray.size(), CV_32FC1);
    flowY.create(currentGray.size(), CV_32FC1);
    RunLevels(workspace.previous, workspace.current, levels, flowX, flowY, workspace, {false, workspace.useWideSimd});
    // This picture is the next call's previous one.
    std::swap(workspace.previous, workspace.current);
}

void ComputeMotionFieldReference(const cv::Mat& previousGray, const cv::Mat& currentGray, cv::Mat& flowX,
                                 cv::Mat& flowY, int levelCount) {
    CheckPictures(previousGray, currentGray);
    const int levels = ChooseLevelCount(currentGray, levelCount);
    MotionFieldWorkspace workspace;
    BuildPyramid(previousGray, levels, workspace.previous);
    BuildPyramid(currentGray, levels, workspace.current);
    flowX.create(currentGray.size(), CV_32FC1);
    flowY.create(currentGray.size(), CV_32FC1);
    RunLevels(workspace.previous, workspace.current, levels, flowX, flowY, workspace, {true, false});
}

}  // namespace torvane
