// Pictures the demo makes of the library's answers: heat maps of the probes,
// tracked objects with their trails, the annotated video frame and the
// contact sheet.
#pragma once

#include <opencv2/core.hpp>

#include <deque>
#include <string>
#include <vector>

namespace torvane::demo {

// Largest IsMotion value the heat map tells apart; faster shows the same.
constexpr double MotionShownUpTo = 12.0;
// IsColor distance shown as "far"; farther shows the same.
constexpr double ColorShownUpTo = 200.0;

struct TrackedObject {
    int id = -1;
    bool fixedPlace = false;          // placed at a fixed point rather than on a corner; follows the picture all the same
    cv::Point2f position;
    std::deque<cv::Point2f> trail;    // recent positions, oldest first
};

// IsMotion answers (CV_32FC1) over `picture`: motion in a heat colour, still
// pixels as a faint grey picture.
cv::Mat MotionHeatMap(const cv::Mat& picture, const cv::Mat& motion);
// IsColor answers (CV_32FC1): near the colour bright, far dark.
cv::Mat ColorDistanceMap(const cv::Mat& distance);
// `picture` resized by `scale`, with every tracked object, its id and trail
// drawn on it at that size (so that ids stay legible on a small panel). A trail
// breaks where the object jumped more than a quarter of the picture's shorter
// side in one step.
cv::Mat ObjectsPicture(const cv::Mat& picture, const std::vector<TrackedObject>& objects, double scale = 1.0);

// The annotated video frame of each mode.
cv::Mat AnnotateMotion(const cv::Mat& picture, const cv::Mat& motion);
cv::Mat AnnotateColor(const cv::Mat& picture, const cv::Mat& distance, cv::Scalar chosenBgr);
// A strip of text across the top of an annotated frame.
void DrawBanner(cv::Mat& picture, const std::string& text);

// Width of every panel on the contact sheet.
constexpr int SheetPanelWidth = 400;

struct SheetPanel {
    cv::Mat picture;     // any size, 8-bit BGR; empty: a blank panel
    std::string title;   // what the panel shows
    std::string note;    // one more line: live or held, counts
    bool held = false;   // the answers are left over from an earlier mode: drawn dimmed
};

// Rows of labelled panels under a title, with the colour keys of both maps at the bottom.
cv::Mat ComposeContactSheet(const std::string& title, const std::vector<std::vector<SheetPanel>>& rows,
                            cv::Scalar chosenBgr);

}  // namespace torvane::demo
