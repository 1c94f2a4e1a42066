#include "demo_render.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>

namespace torvane::demo {
namespace {

const cv::Scalar White(255, 255, 255);
const cv::Scalar Black(0, 0, 0);
const cv::Scalar LightGrey(200, 200, 200);
const cv::Scalar HeldOrange(80, 170, 255);
constexpr int Font = cv::FONT_HERSHEY_SIMPLEX;

// Heat-map level of a motion answer: still pixels are 0; 1 px/frame starts
// well above black so that slow motion stands out.
uchar MotionLevel(float motion) {
    if (!(motion >= 1.0f)) return 0;
    const double clipped = std::min(static_cast<double>(motion), MotionShownUpTo);
    return cv::saturate_cast<uchar>(90.0 + (clipped - 1.0) / (MotionShownUpTo - 1.0) * 165.0);
}

uchar ClosenessLevel(float distance) {
    const double clipped = std::clamp(static_cast<double>(distance), 0.0, ColorShownUpTo);
    return cv::saturate_cast<uchar>(255.0 * (1.0 - clipped / ColorShownUpTo));
}

cv::Mat FaintGrey(const cv::Mat& picture, double brightness) {
    cv::Mat gray, faint;
    cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(gray, faint, cv::COLOR_GRAY2BGR);
    faint.convertTo(faint, CV_8UC3, brightness);
    return faint;
}

// A distinct, stable colour per object id.
cv::Scalar IdColor(int id) {
    cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar((id * 47) % 180, 220, 255)), bgr;
    cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
    const cv::Vec3b c = bgr.at<cv::Vec3b>(0, 0);
    return cv::Scalar(c[0], c[1], c[2]);
}

// Text with a dark outline, readable on any picture.
void OutlinedText(cv::Mat& picture, const std::string& text, cv::Point origin, double scale, cv::Scalar color) {
    cv::putText(picture, text, origin, Font, scale, Black, 3, cv::LINE_AA);
    cv::putText(picture, text, origin, Font, scale, color, 1, cv::LINE_AA);
}

// A trail cut wherever the object jumped more than a quarter of the picture's
// shorter side in one step (a scene cut, a lost point): a line across the
// picture would show motion that never happened.
std::vector<std::vector<cv::Point>> TrailPieces(const std::deque<cv::Point2f>& trail, cv::Size picture, double scale) {
    const double longestStep = std::min(picture.width, picture.height) / 4.0;
    std::vector<std::vector<cv::Point>> pieces(1);
    for (size_t i = 0; i < trail.size(); ++i) {
        if (i > 0 && !(cv::norm(trail[i] - trail[i - 1]) <= longestStep) && !pieces.back().empty()) pieces.emplace_back();
        pieces.back().emplace_back(cvRound(trail[i].x * scale), cvRound(trail[i].y * scale));
    }
    return pieces;
}

cv::Mat ColorKey(cv::Size size, bool motion) {
    cv::Mat ramp(1, size.width, CV_8UC1);
    for (int x = 0; x < size.width; ++x) {
        const double fraction = static_cast<double>(x) / (size.width - 1);
        ramp.at<uchar>(0, x) = motion ? MotionLevel(static_cast<float>(fraction * MotionShownUpTo))
                                      : ClosenessLevel(static_cast<float>(fraction * ColorShownUpTo));
    }
    cv::Mat colors;
    cv::applyColorMap(ramp, colors, motion ? cv::COLORMAP_INFERNO : cv::COLORMAP_VIRIDIS);
    if (motion) {  // still pixels show as grey in the heat map
        for (int x = 0; x < size.width; ++x) {
            if (ramp.at<uchar>(0, x) == 0) colors.at<cv::Vec3b>(0, x) = cv::Vec3b(70, 70, 70);
        }
    }
    cv::Mat key;
    cv::resize(colors, key, size, 0, 0, cv::INTER_NEAREST);
    return key;
}

}  // namespace

cv::Mat MotionHeatMap(const cv::Mat& picture, const cv::Mat& motion) {
    cv::Mat levels(motion.size(), CV_8UC1);
    for (int y = 0; y < motion.rows; ++y) {
        const float* in = motion.ptr<float>(y);
        uchar* out = levels.ptr<uchar>(y);
        for (int x = 0; x < motion.cols; ++x) out[x] = MotionLevel(in[x]);
    }
    cv::Mat heat;
    cv::applyColorMap(levels, heat, cv::COLORMAP_INFERNO);
    cv::Mat map = FaintGrey(picture, 0.35);
    heat.copyTo(map, levels > 0);
    return map;
}

cv::Mat ColorDistanceMap(const cv::Mat& distance) {
    cv::Mat levels(distance.size(), CV_8UC1);
    for (int y = 0; y < distance.rows; ++y) {
        const float* in = distance.ptr<float>(y);
        uchar* out = levels.ptr<uchar>(y);
        for (int x = 0; x < distance.cols; ++x) out[x] = ClosenessLevel(in[x]);
    }
    cv::Mat map;
    cv::applyColorMap(levels, map, cv::COLORMAP_VIRIDIS);
    return map;
}

cv::Mat ObjectsPicture(const cv::Mat& picture, const std::vector<TrackedObject>& objects, double scale) {
    cv::Mat drawn;
    if (scale == 1.0) {
        drawn = picture.clone();
    } else {
        cv::resize(picture, drawn, cv::Size(), scale, scale, cv::INTER_AREA);
    }
    for (const TrackedObject& object : objects) {
        const cv::Scalar color = IdColor(object.id);
        for (const std::vector<cv::Point>& piece : TrailPieces(object.trail, picture.size(), scale)) {
            if (piece.size() < 2) continue;
            cv::polylines(drawn, piece, false, Black, 4, cv::LINE_AA);
            cv::polylines(drawn, piece, false, color, 2, cv::LINE_AA);
        }
        const cv::Point at(cvRound(object.position.x * scale), cvRound(object.position.y * scale));
        if (object.fixedPlace) {
            cv::rectangle(drawn, at - cv::Point(5, 5), at + cv::Point(5, 5), Black, 3);
            cv::rectangle(drawn, at - cv::Point(5, 5), at + cv::Point(5, 5), color, 2);
        } else {
            cv::circle(drawn, at, 5, Black, 3, cv::LINE_AA);
            cv::circle(drawn, at, 5, color, 2, cv::LINE_AA);
        }
        OutlinedText(drawn, std::to_string(object.id), at + cv::Point(7, -7), 0.5, color);
    }
    return drawn;
}

cv::Mat AnnotateMotion(const cv::Mat& picture, const cv::Mat& motion) {
    const cv::Mat heat = MotionHeatMap(picture, motion);
    cv::Mat annotated;
    cv::addWeighted(picture, 0.35, heat, 0.65, 0.0, annotated);
    picture.copyTo(annotated, motion < 1.0f);
    return annotated;
}

cv::Mat AnnotateColor(const cv::Mat& picture, const cv::Mat& distance, cv::Scalar chosenBgr) {
    // Near the chosen colour keeps its colour and gets an outline; the rest goes grey.
    constexpr float NearDistance = 90.0f;
    const cv::Mat near = distance <= NearDistance;
    cv::Mat annotated = FaintGrey(picture, 0.6);
    picture.copyTo(annotated, near);
    std::vector<std::vector<cv::Point>> outlines;
    cv::findContours(near.clone(), outlines, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    cv::drawContours(annotated, outlines, -1, White, 2, cv::LINE_AA);
    cv::rectangle(annotated, cv::Rect(annotated.cols - 34, 32, 24, 24), chosenBgr, cv::FILLED);
    cv::rectangle(annotated, cv::Rect(annotated.cols - 34, 32, 24, 24), White, 1);
    return annotated;
}

void DrawBanner(cv::Mat& picture, const std::string& text) {
    const int height = std::min(26, picture.rows);
    cv::Mat strip = picture(cv::Rect(0, 0, picture.cols, height));
    strip.convertTo(strip, CV_8UC3, 0.3);
    cv::putText(picture, text, cv::Point(8, height - 8), Font, 0.5, White, 1, cv::LINE_AA);
}

cv::Mat ComposeContactSheet(const std::string& title, const std::vector<std::vector<SheetPanel>>& rows,
                            cv::Scalar chosenBgr) {
    constexpr int PanelWidth = SheetPanelWidth, LabelHeight = 46, Gap = 8, TitleHeight = 44, KeyHeight = 64;
    int columns = 1, panelHeight = 300;
    for (const auto& row : rows) {
        columns = std::max(columns, static_cast<int>(row.size()));
        for (const SheetPanel& panel : row) {
            if (!panel.picture.empty()) panelHeight = PanelWidth * panel.picture.rows / panel.picture.cols;
        }
    }
    const int width = Gap + columns * (PanelWidth + Gap);
    const int rowHeight = LabelHeight + panelHeight + Gap;
    const int height = TitleHeight + static_cast<int>(rows.size()) * rowHeight + KeyHeight;
    cv::Mat sheet(height, width, CV_8UC3, cv::Scalar(32, 32, 32));
    cv::putText(sheet, title, cv::Point(Gap, 30), Font, 0.8, White, 2, cv::LINE_AA);

    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < rows[r].size(); ++c) {
            const SheetPanel& panel = rows[r][c];
            const cv::Point corner(Gap + static_cast<int>(c) * (PanelWidth + Gap),
                                   TitleHeight + static_cast<int>(r) * rowHeight);
            cv::putText(sheet, panel.title, corner + cv::Point(0, 18), Font, 0.5, White, 1, cv::LINE_AA);
            cv::putText(sheet, panel.note, corner + cv::Point(0, 38), Font, 0.45, panel.held ? HeldOrange : LightGrey,
                        1, cv::LINE_AA);
            cv::Mat area = sheet(cv::Rect(corner + cv::Point(0, LabelHeight), cv::Size(PanelWidth, panelHeight)));
            if (panel.picture.empty()) {
                area.setTo(cv::Scalar(48, 48, 48));
                continue;
            }
            cv::resize(panel.picture, area, area.size(), 0, 0, cv::INTER_AREA);
            if (panel.held) area.convertTo(area, CV_8UC3, 0.45);
        }
    }

    // Colour keys of the two maps.
    const int keyTop = height - KeyHeight + 8;
    const cv::Size keySize(260, 16);
    const cv::Point motionKey(Gap + 130, keyTop + 10), colorKey(Gap + 2 * (PanelWidth + Gap) - 40, keyTop + 10);
    cv::putText(sheet, "IsMotion:", cv::Point(Gap, motionKey.y + 13), Font, 0.5, White, 1, cv::LINE_AA);
    ColorKey(keySize, true).copyTo(sheet(cv::Rect(motionKey, keySize)));
    for (int value = 0; value <= static_cast<int>(MotionShownUpTo); value += value < 2 ? 1 : 2) {
        const int x = value * (keySize.width - 1) / static_cast<int>(MotionShownUpTo);
        const std::string label = std::to_string(value) + (value == static_cast<int>(MotionShownUpTo) ? "+" : "");
        cv::putText(sheet, label, motionKey + cv::Point(x - 4, 34), Font, 0.42, LightGrey, 1, cv::LINE_AA);
    }
    cv::putText(sheet, "px/frame (grey: still)", motionKey + cv::Point(keySize.width + 14, 13), Font, 0.42, LightGrey,
                1, cv::LINE_AA);

    cv::putText(sheet, "IsColor:", cv::Point(colorKey.x - 110, colorKey.y + 13), Font, 0.5, White, 1, cv::LINE_AA);
    cv::rectangle(sheet, cv::Rect(colorKey.x - 30, colorKey.y - 2, 20, 20), chosenBgr, cv::FILLED);
    cv::rectangle(sheet, cv::Rect(colorKey.x - 30, colorKey.y - 2, 20, 20), White, 1);
    ColorKey(keySize, false).copyTo(sheet(cv::Rect(colorKey, keySize)));
    char colorEnd[32];
    std::snprintf(colorEnd, sizeof colorEnd, "%.0f+ far", ColorShownUpTo);
    cv::putText(sheet, "0 (same colour)", colorKey + cv::Point(0, 34), Font, 0.42, LightGrey, 1, cv::LINE_AA);
    cv::putText(sheet, colorEnd, colorKey + cv::Point(keySize.width - 60, 34), Font, 0.42, LightGrey, 1, cv::LINE_AA);
    return sheet;
}

}  // namespace torvane::demo
