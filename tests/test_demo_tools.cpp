// The demo's command line and its drawing of tracked objects.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "demo_options.hpp"
#include "demo_render.hpp"

namespace torvane::demo {
namespace {

bool ParseFrames(const std::string& count, long& frames) {
    DemoOptions options;
    std::string error;
    const char* argv[] = {"torvane-demo", "--frames", count.c_str()};
    const bool parsed = ParseOptions(3, argv, options, error);
    frames = options.frames;
    EXPECT_EQ(error.empty(), parsed) << count;
    return parsed;
}

TEST(DemoOptions, FramesTakesDigitsOnlyWithinTheDocumentedRange) {
    const struct {
        const char* given;
        long frames;  // 0: refused
    } cases[] = {
        {"10", 10},   {"300", 300},   {"1000000", 1000000}, {"0012", 12},
        {"9", 0},     {"1000001", 0}, {"99999999999999999999999", 0},
        {"+12", 0},   {"-12", 0},     {" 12", 0},  {"12 ", 0}, {"1e3", 0}, {"12.0", 0}, {"0x20", 0}, {"", 0},
    };
    for (const auto& c : cases) {
        long frames = 0;
        EXPECT_EQ(ParseFrames(c.given, frames), c.frames != 0) << "'" << c.given << "'";
        if (c.frames != 0) EXPECT_EQ(frames, c.frames) << "'" << c.given << "'";
    }
}

TEST(DemoOptions, UsageLineNamesEveryFlag) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
    ASSERT_NE(stream, nullptr);
    PrintUsage(stream);
    std::fclose(stream);
    const std::string usage(text, size);
    std::free(text);
    const std::string firstLine = usage.substr(0, usage.find('\n'));
    for (const char* flag : {"-h", "--synthetic", "--video FILE", "--frames N", "--output DIR", "--show"}) {
        EXPECT_NE(firstLine.find(flag), std::string::npos) << flag << " missing from: " << firstLine;
    }
}

// How many pixels of row `y` between columns `from` and `to` were drawn on.
int DrawnBetween(const cv::Mat& picture, int y, int from, int to) {
    int drawn = 0;
    for (int x = from; x <= to; ++x) drawn += picture.at<cv::Vec3b>(y, x) != cv::Vec3b(0, 0, 0);
    return drawn;
}

// A trail breaks where the object jumped more than a quarter of the shorter
// side (here 100 / 4 = 25 px) in one step, and only there.
TEST(DemoRender, TrailBreaksOnAJumpOfMoreThanAQuarterOfTheShorterSide) {
    const cv::Mat black(100, 300, CV_8UC3, cv::Scalar(0, 0, 0));
    for (const float jump : {24.0f, 26.0f, 200.0f}) {
        TrackedObject object;
        object.id = 3;
        object.trail = {{40, 50}, {44, 50}, {48, 50}, {48 + jump, 50}, {52 + jump, 50}};
        object.position = object.trail.back();
        const cv::Mat drawn = ObjectsPicture(black, {object});
        const int gapFrom = 52, gapTo = static_cast<int>(44 + jump);  // between the two pieces' ends and marks
        const bool broken = jump > 25.0f;
        if (broken) {
            EXPECT_EQ(DrawnBetween(drawn, 50, gapFrom, gapTo), 0) << "a line across the jump of " << jump;
        } else {
            EXPECT_EQ(DrawnBetween(drawn, 50, gapFrom, gapTo), gapTo - gapFrom + 1) << "the trail broke at " << jump;
        }
        EXPECT_GT(DrawnBetween(drawn, 50, 41, 47), 0) << "the piece before the jump is drawn";
    }
}

}  // namespace
}  // namespace torvane::demo
