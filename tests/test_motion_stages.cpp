// Each optimised stage of the motion field against its plain reference: the
// pyramid halving against the imaging library's pyrDown, the warp and the
// level solve against their per-pixel versions. Integer stages and the float
// stages (which run the same IEEE operations in the same order) agree bit for bit.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <vector>

#include "motion_pyramid.hpp"
#include "motion_warp.hpp"
#include "window_solve.hpp"

namespace torvane {
namespace {

bool BitIdentical(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    for (int y = 0; y < a.rows; ++y) {
        if (std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0) return false;
    }
    return true;
}

cv::Mat RandomGrey(cv::Size size, std::uint64_t seed, double blur) {
    cv::RNG rng(seed);
    cv::Mat noise(size, CV_8UC1);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    if (blur > 0) cv::GaussianBlur(noise, noise, cv::Size(0, 0), blur, 0, cv::BORDER_REPLICATE);
    return noise;
}

// Starts of every kind: zero runs (the still path), sub-pixel and multi-pixel
// moves, samples past every border, and NaN.
void RandomStarts(cv::Size size, std::uint64_t seed, cv::Mat& startX, cv::Mat& startY) {
    cv::RNG rng(seed);
    startX.create(size, CV_32FC1);
    startY.create(size, CV_32FC1);
    rng.fill(startX, cv::RNG::UNIFORM, -12.0, 12.0);
    rng.fill(startY, cv::RNG::UNIFORM, -12.0, 12.0);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            if ((x / 8 + y) % 3 == 0) startX.at<float>(y, x) = startY.at<float>(y, x) = 0.0f;
        }
    }
    startX.at<float>(0, 0) = std::numeric_limits<float>::quiet_NaN();
}

const cv::Size kSizes[] = {{1, 1}, {2, 3}, {7, 5}, {33, 17}, {64, 48}, {161, 121}};

TEST(MotionStages, HalvingMatchesPyrDown) {
    std::vector<int> scratch;
    for (const cv::Size size : kSizes) {
        const cv::Mat picture = RandomGrey(size, 3, 0.0);
        cv::Mat ours, theirs;
        HalvePicture(picture, ours, scratch);
        cv::pyrDown(picture, theirs);
        EXPECT_TRUE(BitIdentical(ours, theirs)) << size;
    }
}

TEST(MotionStages, WarpMatchesReference) {
    const BrightnessFit fits[] = {{1.0f, 0.0f}, {1.07f, -6.5f}, {2.0f, 40.0f}, {0.5f, -200.0f}};
    for (const cv::Size size : kSizes) {
        const cv::Mat image = RandomGrey(size, 6, 1.0);
        // The wide path needs room after the picture's last pixel, as pyramid levels have.
        cv::Mat previous = cv::Mat(size.height, size.width + 4, CV_8UC1)(cv::Rect(cv::Point(), size));
        RandomGrey(size, 5, 1.0).copyTo(previous);
        cv::Mat startX, startY, fast, reference;
        RandomStarts(size, 7, startX, startY);
        for (const BrightnessFit& fit : fits) {
            WarpPreviousReference(previous, image, startX, startY, fit, reference);
            for (const bool wide : {false, true}) {
                WarpPrevious(previous, image, startX, startY, fit, fast, wide);
                EXPECT_TRUE(BitIdentical(fast, reference)) << size << " gain " << fit.gain << (wide ? " AVX2" : "");
            }
        }
    }
}

TEST(MotionStages, LevelSolveMatchesReferenceOnBothSimdPaths) {
    WindowSolveWorkspace workspace;
    for (const cv::Size size : kSizes) {
        const cv::Mat image = RandomGrey(size, 11, 1.2);
        cv::Mat startX, startY, warped, still;
        RandomStarts(size, 12, startX, startY);
        // Zero the NaN: starts handed to the solve come from StartFromCoarser, which never keeps one.
        startX.at<float>(0, 0) = 0.0f;
        WarpPrevious(RandomGrey(size, 13, 1.2), image, startX, startY, BrightnessFit{}, warped);
        CorrectPrevious(RandomGrey(size, 14, 1.2), BrightnessFit{}, still);
        for (const bool finest : {false, true}) {
            const LevelInputs inputs{&image, &warped, finest ? &still : nullptr, &startX, &startY};
            cv::Mat referenceX, referenceY;
            SolveLevelReference(inputs, referenceX, referenceY);
            for (const bool wide : {false, true}) {
                cv::Mat fastX, fastY;
                SolveLevel(inputs, fastX, fastY, workspace, wide);
                EXPECT_TRUE(BitIdentical(fastX, referenceX) && BitIdentical(fastY, referenceY))
                    << size << (finest ? " finest" : " coarser") << (wide ? " AVX2" : " baseline");
            }
        }
    }
}

TEST(MotionStages, LevelStartsAreFiniteAndStillWhereTheCoarseFieldIsSmall) {
    // A coarse field that is still on its left half and moving 3 px on its right half.
    cv::Mat coarseX(12, 16, CV_32FC1, cv::Scalar(0.0f)), coarseY(12, 16, CV_32FC1, cv::Scalar(0.0f));
    coarseX(cv::Rect(8, 0, 8, 12)) = 1.5f;
    coarseX.at<float>(5, 1) = 0.05f;  // a whisper of motion in the still half stays still
    cv::Mat startX, startY, rowSums, boxed;
    StartFromCoarser(coarseX, coarseY, cv::Size(31, 23), startX, startY, rowSums, boxed);
    ASSERT_EQ(startX.size(), cv::Size(31, 23));
    EXPECT_TRUE(cv::checkRange(startX) && cv::checkRange(startY));
    EXPECT_EQ(cv::countNonZero(startX(cv::Rect(0, 0, 8, 23))), 0) << "still starts are exactly zero";
    EXPECT_FLOAT_EQ(startX.at<float>(10, 30), 3.0f) << "values double with the picture";
    EXPECT_EQ(cv::countNonZero(startY), 0);
}

}  // namespace
}  // namespace torvane
