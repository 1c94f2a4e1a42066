// The coarse-to-fine driver of the motion field. See motion_pyramid.hpp.
#include "motion_pyramid.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "motion_warp.hpp"

namespace torvane {
namespace {

// Index into [0, size) mirrored about the end pixels (b a | a b c | c b).
inline int Reflect101(int index, int size) {
    if (size == 1) return 0;
    while (index < 0 || index >= size) index = index < 0 ? -index : 2 * size - 2 - index;
    return index;
}

}  // namespace

void HalvePicture(const cv::Mat& source, cv::Mat& target, std::vector<int>& columnSums) {
    CV_Assert(source.type() == CV_8UC1 && !source.empty());
    const int width = source.cols, height = source.rows;
    target.create((height + 1) / 2, (width + 1) / 2, CV_8UC1);
    // Two columns of mirrored margin each side, so the row filter needs no checks.
    columnSums.resize(static_cast<std::size_t>(width) + 4);
    int* sums = columnSums.data() + 2;
    for (int y = 0; y < target.rows; ++y) {
        const std::uint8_t* rows[5];
        for (int tap = 0; tap < 5; ++tap) rows[tap] = source.ptr<std::uint8_t>(Reflect101(2 * y + tap - 2, height));
        for (int x = 0; x < width; ++x) {
            sums[x] = rows[0][x] + 4 * (rows[1][x] + rows[3][x]) + 6 * rows[2][x] + rows[4][x];
        }
        for (int margin = 1; margin <= 2; ++margin) {
            sums[-margin] = sums[Reflect101(-margin, width)];
            sums[width - 1 + margin] = sums[Reflect101(width - 1 + margin, width)];
        }
        std::uint8_t* out = target.ptr<std::uint8_t>(y);
        for (int x = 0; x < target.cols; ++x) {
            const int* centre = sums + 2 * x;
            const int total = centre[-2] + 4 * (centre[-1] + centre[1]) + 6 * centre[0] + centre[2];
            out[x] = static_cast<std::uint8_t>((total + 128) >> 8);
        }
    }
}

namespace {

// Pyramid levels 0..levelCount-1 of a picture; level 0 is a copy, so the
// pyramid stays valid when the caller reuses its image.
void BuildPyramid(const cv::Mat& picture, int levelCount, MotionFieldWorkspace::Pyramid& pyramid,
                  std::vector<int>& rowScratch) {
    pyramid.levels.resize(static_cast<std::size_t>(std::max<int>(levelCount, static_cast<int>(pyramid.levels.size()))));
    // Every level is a view into a buffer a few columns wider, so that the warp's
    // four-byte gathers never reach past its end.
    constexpr int kGatherRoom = 4;
    cv::Size size = picture.size();
    for (std::size_t level = 0; level < static_cast<std::size_t>(levelCount); ++level) {
        cv::Mat& image = pyramid.levels[level];
        if (image.size() != size || image.type() != CV_8UC1) {
            image = cv::Mat(size.height, size.width + kGatherRoom, CV_8UC1)(cv::Rect(0, 0, size.width, size.height));
        }
        size = cv::Size((size.width + 1) / 2, (size.height + 1) / 2);
    }
    picture.copyTo(pyramid.levels[0]);
    for (std::size_t level = 1; level < static_cast<std::size_t>(levelCount); ++level) {
        HalvePicture(pyramid.levels[level - 1], pyramid.levels[level], rowScratch);
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
                                         &workspace.levelFlowY, &workspace.warpedPrevious,
                                         &workspace.boxScratchX, &workspace.boxScratchY}) {
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
    scratchX.reserve(flowX.total());  // once: later frames of this size never grow them
    scratchY.reserve(flowX.total());
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
            startX = cv::Scalar::all(0.0);
            startY = cv::Scalar::all(0.0);
        } else {
            StartFromCoarser(workspace.levelFlowX[index + 1], workspace.levelFlowY[index + 1], image.size(), startX,
                             startY, workspace.boxScratchX[index], workspace.boxScratchY[index]);
        }
        cv::Mat& warped = workspace.warpedPrevious[index];
        if (kernels.reference) {
            WarpPreviousReference(previousImage, image, startX, startY, fit, warped);
        } else {
            WarpPrevious(previousImage, image, startX, startY, fit, warped, kernels.useWideSimd);
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
    BuildPyramid(currentGray, levels, workspace.current, workspace.halvingScratch);
    const bool previousUsable = reusePreviousPyramid && workspace.previous.levelCount == levels &&
                                workspace.previous.levels[0].size() == previousGray.size();
    if (!previousUsable) BuildPyramid(previousGray, levels, workspace.previous, workspace.halvingScratch);
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
    // The pyramids from the imaging library's own pyrDown, the yardstick of HalvePicture.
    MotionFieldWorkspace workspace;
    for (auto [picture, pyramid] : {std::pair{&previousGray, &workspace.previous}, std::pair{&currentGray, &workspace.current}}) {
        cv::buildPyramid(*picture, pyramid->levels, levels - 1);
        pyramid->levelCount = levels;
    }
    flowX.create(currentGray.size(), CV_32FC1);
    flowY.create(currentGray.size(), CV_32FC1);
    RunLevels(workspace.previous, workspace.current, levels, flowX, flowY, workspace, {true, false});
}

}  // namespace torvane
