// The tracking step of mode 2, driven through the exported calls with a
// scripted camera showing a real photo moved by known sub-pixel amounts.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double Tolerance = 0.3;     // pixels from the true position
constexpr double MinShareNear = 0.95; // of the points on strong corners

const cv::Mat& Photo() {
    static const cv::Mat photo = cv::imread(TORVANE_TEST_DATA_DIR "/rubberwhale1.png", cv::IMREAD_COLOR);
    return photo;
}

// The picture with its content moved by `shift` (bilinear, edges replicated).
cv::Mat Translated(const cv::Mat& picture, cv::Point2d shift) {
    const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, shift.x, 0, 1, shift.y);
    cv::Mat moved;
    cv::warpAffine(picture, moved, move, picture.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return moved;
}

// Strong corners at least `margin` pixels inside the picture.
std::vector<cv::Point2f> StrongCorners(const cv::Mat& picture, int maxCorners, int margin) {
    cv::Mat gray;
    cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
    cv::Mat mask = cv::Mat::zeros(gray.size(), CV_8UC1);
    mask(cv::Rect(margin, margin, gray.cols - 2 * margin, gray.rows - 2 * margin)).setTo(255);
    std::vector<cv::Point2f> corners;
    cv::goodFeaturesToTrack(gray, corners, maxCorners, 0.05, 8, mask);
    return corners;
}

// A camera that shows whatever frame the test hands it next.
class FrameFeeder {
public:
    FrameFeeder() : camera_([this](long, cv::Mat& frame) {
        next_.copyTo(frame);
        return true;
    }) {}
    double Init(const cv::Mat& frame) {
        next_ = frame;
        return InitCam();
    }
    double Update(const cv::Mat& frame) {
        next_ = frame;
        return UpdateFrame();
    }
    // The library's camera reads through this object: close it first.
    ~FrameFeeder() { UnloadCam(); }

private:
    cv::Mat next_;
    ScriptedCamera camera_;
};

std::vector<int> AddObjects(const std::vector<cv::Point2f>& points) {
    std::vector<int> ids;
    for (const cv::Point2f& point : points) {
        const double id = ObjectAdd(point.x, point.y);
        EXPECT_GE(id, 0.0);
        ids.push_back(static_cast<int>(id));
    }
    return ids;
}

std::vector<cv::Point2f> Positions(const std::vector<int>& ids) {
    std::vector<cv::Point2f> positions;
    for (const int id : ids) {
        positions.emplace_back(static_cast<float>(ObjectGetX(id)), static_cast<float>(ObjectGetY(id)));
    }
    return positions;
}

// Bit for bit, so that NaN positions compare too.
bool SamePositions(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cv::Point2f)) == 0;
}

// Share of `positions` within Tolerance of `start` moved by `shift`.
double ShareNear(const std::vector<cv::Point2f>& positions, const std::vector<cv::Point2f>& start, cv::Point2d shift) {
    int near = 0;
    for (size_t i = 0; i < positions.size(); ++i) {
        const double dx = positions[i].x - (start[i].x + shift.x);
        const double dy = positions[i].y - (start[i].y + shift.y);
        if (std::hypot(dx, dy) <= Tolerance) ++near;
    }
    return positions.empty() ? 0.0 : static_cast<double>(near) / static_cast<double>(positions.size());
}

class Tracking : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_FALSE(Photo().empty()) << "test picture missing";
    }
};

TEST_F(Tracking, FollowsASubPixelTranslationForTwentyFrames) {
    struct Case {
        cv::Point2d perFrame;
        int margin;  // keeps every corner and its window inside the picture to the end
    };
    for (const Case& c : {Case{{0.37, -0.23}, 24}, Case{{-0.81, 0.55}, 32}, Case{{2.6, 1.7}, 70}}) {
        SCOPED_TRACE("per frame " + std::to_string(c.perFrame.x) + ", " + std::to_string(c.perFrame.y));
        ResetLibrary();
        FrameFeeder feeder;
        const std::vector<cv::Point2f> corners = StrongCorners(Photo(), 150, c.margin);
        ASSERT_GE(corners.size(), 100u);
        ASSERT_EQ(feeder.Init(Photo()), 1.0);
        const std::vector<int> ids = AddObjects(corners);
        SetMode(2);
        ASSERT_EQ(feeder.Update(Photo()), 1.0);  // primes on the starting picture
        for (int frame = 1; frame <= 20; ++frame) {
            ASSERT_EQ(feeder.Update(Translated(Photo(), c.perFrame * frame)), 1.0);
        }
        EXPECT_GE(ShareNear(Positions(ids), corners, c.perFrame * 20), MinShareNear);
    }
}

// Pins the conversion and every tracker setting: each step gives, bit for bit,
// what one grey conversion and one tracker call on the same frames give, at
// every picture size (pyramids of one to four levels), also around repeated
// frames and when the objects come back after a step without any.
TEST_F(Tracking, EachStepEqualsOneDirectTrackerCall) {
    for (const cv::Rect area : {cv::Rect(0, 0, 584, 388), cv::Rect(100, 50, 97, 61), cv::Rect(200, 100, 23, 17),
                                cv::Rect(300, 200, 9, 9), cv::Rect(300, 200, 1, 1)}) {
        SCOPED_TRACE(std::to_string(area.width) + "x" + std::to_string(area.height));
        ResetLibrary();
        FrameFeeder feeder;
        const cv::Mat picture = Photo()(area).clone();
        std::vector<cv::Point2f> points;
        if (area.width > 40) points = StrongCorners(picture, 60, 16);
        // Sub-pixel starts all over the picture, on texture or not, and beyond it.
        for (int i = 0; i < 12; ++i) {
            points.emplace_back(area.width * (0.07f + 0.081f * i), area.height * (0.93f - 0.077f * i));
        }
        points.emplace_back(0.5f, 0.25f);
        points.emplace_back(-40.0f, 10.0f);
        points.emplace_back(std::numeric_limits<float>::quiet_NaN(), 5.0f);

        // Content that also changes brightness, so the tracker has to iterate.
        std::vector<cv::Mat> frames;
        for (int frame = 0; frame < 7; ++frame) {
            cv::Mat moved = Translated(picture, {1.3 * frame, -0.7 * frame});
            moved.convertTo(moved, -1, 1.0, 3.0 * frame);
            frames.push_back(moved);
        }
        ASSERT_EQ(feeder.Init(frames[0]), 1.0);
        std::vector<int> ids = AddObjects(points);
        SetMode(2);
        ASSERT_EQ(feeder.Update(frames[0]), 1.0);
        // Frames shown in turn; objects leave for the step on frame 3, come back
        // on its repeat, and frames 5 and 6 repeat once more.
        const int plan[] = {1, 2, 3, 3, 4, 5, 5, 6, 6};
        int shown = 0;
        for (size_t step = 0; step < std::size(plan); ++step) {
            SCOPED_TRACE("step " + std::to_string(step) + ", frame " + std::to_string(plan[step]));
            const int frame = plan[step];
            if (step == 2) {
                const std::vector<cv::Point2f> kept = Positions(ids);
                for (const int id : ids) ASSERT_EQ(ObjectDelete(id), 0.0);
                ASSERT_EQ(feeder.Update(frames[frame]), 1.0);
                ids = AddObjects(kept);
                shown = frame;
                continue;
            }
            const std::vector<cv::Point2f> start = Positions(ids);
            std::vector<cv::Point2f> expected = start;  // a repeated frame moves nothing
            if (frame != shown) {
                cv::Mat previousGray, currentGray;
                cv::cvtColor(frames[static_cast<size_t>(shown)], previousGray, cv::COLOR_BGR2GRAY);
                cv::cvtColor(frames[static_cast<size_t>(frame)], currentGray, cv::COLOR_BGR2GRAY);
                std::vector<unsigned char> status;
                cv::calcOpticalFlowPyrLK(previousGray, currentGray, start, expected, status, cv::noArray(),
                                         cv::Size(10, 10), 3,
                                         cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20,
                                                          static_cast<double>(0.03f)),
                                         cv::OPTFLOW_LK_GET_MIN_EIGENVALS);
            }
            ASSERT_EQ(feeder.Update(frames[static_cast<size_t>(frame)]), 1.0);
            EXPECT_TRUE(SamePositions(Positions(ids), expected));
            shown = frame;
        }
    }
}

TEST_F(Tracking, IdenticalFramesLeaveEveryPointExactlyWhereItWas) {
    FrameFeeder feeder;
    std::vector<cv::Point2f> points = StrongCorners(Photo(), 80, 10);
    for (int i = 0; i < 20; ++i) points.emplace_back(0.37f + 29.3f * i, 0.61f + 19.1f * i);  // textured or not
    points.emplace_back(0.0f, 0.0f);
    points.emplace_back(583.0f, 387.0f);
    ASSERT_EQ(feeder.Init(Photo()), 1.0);
    const std::vector<int> ids = AddObjects(points);
    SetMode(2);
    for (int update = 0; update < 5; ++update) ASSERT_EQ(feeder.Update(Photo()), 1.0);
    EXPECT_TRUE(SamePositions(Positions(ids), points));
}

// After InitCam, a size change or another mode the step only primes: points stay
// put, and the step after it tracks from the primed picture.
TEST_F(Tracking, FirstStepAfterARestartOnlyPrimes) {
    const cv::Point2d perFrame(0.9, -0.6);
    const cv::Mat crop = Photo()(cv::Rect(40, 30, 480, 320)).clone();
    auto Frame = [&](const cv::Mat& picture, int number) { return Translated(picture, perFrame * number); };

    struct Case {
        std::string restart;
        int otherMode;  // -1: restart by InitCam or a size change instead
    };
    for (const Case& c : {Case{"InitCam", -1}, Case{"size change", -1}, Case{"mode 0", 0}, Case{"mode 1", 1},
                          Case{"mode 7", 7}}) {
        SCOPED_TRACE(c.restart);
        ResetLibrary();
        FrameFeeder feeder;
        const cv::Mat& picture = c.restart == "size change" ? crop : Photo();
        ASSERT_EQ(feeder.Init(Frame(Photo(), 0)), 1.0);
        const std::vector<int> ids = AddObjects(StrongCorners(picture, 100, 30));
        SetMode(2);
        int frame = 0;
        if (c.restart != "InitCam") {
            ASSERT_EQ(feeder.Update(Frame(Photo(), 0)), 1.0);
            ASSERT_EQ(feeder.Update(Frame(Photo(), 1)), 1.0);
            ASSERT_EQ(feeder.Update(Frame(Photo(), 2)), 1.0);
            frame = 2;
            if (c.otherMode >= 0) {
                SetMode(c.otherMode);
                ASSERT_EQ(feeder.Update(Frame(Photo(), 3)), 1.0);
                ASSERT_EQ(feeder.Update(Frame(Photo(), 4)), 1.0);
                SetMode(2);
                frame = 4;
            }
        }
        // Every object on a corner of the picture the step primes with.
        const cv::Mat primingFrame = Frame(picture, frame + 3);
        const std::vector<cv::Point2f> targets = StrongCorners(primingFrame, static_cast<int>(ids.size()), 30);
        ASSERT_GE(targets.size(), 60u);
        for (size_t i = 0; i < targets.size(); ++i) ObjectSetPosition(ids[i], targets[i].x, targets[i].y);
        const std::vector<int> placed(ids.begin(), ids.begin() + static_cast<long>(targets.size()));
        const std::vector<cv::Point2f> before = Positions(ids);
        ASSERT_EQ(feeder.Update(primingFrame), 1.0);
        EXPECT_TRUE(SamePositions(Positions(ids), before)) << "the first step moved points";
        ASSERT_EQ(feeder.Update(Frame(picture, frame + 4)), 1.0);
        EXPECT_GE(ShareNear(Positions(placed), targets, perFrame), MinShareNear) << "the next step tracks one frame";
    }
}

// Steps without objects still take each picture in turn: objects added later
// track from the last picture seen, not from an older one.
TEST_F(Tracking, WithoutObjectsEachStepStillTakesThePicture) {
    FrameFeeder feeder;
    const cv::Point2d perFrame(0.45, 0.35);
    ASSERT_EQ(feeder.Init(Photo()), 1.0);
    SetMode(2);
    for (int frame = 0; frame < 3; ++frame) ASSERT_EQ(feeder.Update(Translated(Photo(), perFrame * frame)), 1.0);
    // Objects added now track from the last step's picture straight away.
    const std::vector<cv::Point2f> corners = StrongCorners(Translated(Photo(), perFrame * 2), 100, 30);
    const std::vector<int> ids = AddObjects(corners);
    ASSERT_EQ(feeder.Update(Translated(Photo(), perFrame * 3)), 1.0);
    EXPECT_GE(ShareNear(Positions(ids), corners, perFrame), MinShareNear);

    // And after every object left for a step, too.
    for (const int id : ids) ASSERT_EQ(ObjectDelete(id), 0.0);
    ASSERT_EQ(feeder.Update(Translated(Photo(), perFrame * 4)), 1.0);
    const std::vector<cv::Point2f> again = StrongCorners(Translated(Photo(), perFrame * 4), 100, 30);
    const std::vector<int> newIds = AddObjects(again);
    ASSERT_EQ(feeder.Update(Translated(Photo(), perFrame * 5)), 1.0);
    EXPECT_GE(ShareNear(Positions(newIds), again, perFrame), MinShareNear);
}

// A frame that differs from the one before in one part only is a new frame:
// objects on the changed part follow it. The part is a narrow band along each
// edge, or a block inside; its content moves by a known whole-pixel shift, the
// rest stays exactly as it was.
TEST_F(Tracking, AFrameChangedInOnePartOnlyIsTrackedThere) {
    const cv::Size size(320, 240);
    const cv::Point shift(1, -1);
    const cv::Mat texture = TexturedFrame(size.width, size.height, 3);
    const cv::Mat movedTexture = Translated(texture, shift);
    constexpr int Band = 24, Inset = 7;  // objects keep the tracker's window inside the band
    const struct {
        const char* name;
        cv::Rect part;
    } parts[] = {
        {"top band", cv::Rect(0, 0, size.width, Band)},
        {"bottom band", cv::Rect(0, size.height - Band, size.width, Band)},
        {"left band", cv::Rect(0, 0, Band, size.height)},
        {"right band", cv::Rect(size.width - Band, 0, Band, size.height)},
        {"block inside", cv::Rect(150, 110, 40, 30)},
    };
    for (const auto& p : parts) {
        SCOPED_TRACE(p.name);
        ResetLibrary();
        FrameFeeder feeder;
        const cv::Mat before = texture;
        cv::Mat after = texture.clone();
        movedTexture(p.part).copyTo(after(p.part));
        // Corners whose start and end both lie well inside the changed part.
        const cv::Rect inner(p.part.x + Inset, p.part.y + Inset, p.part.width - 2 * Inset, p.part.height - 2 * Inset);
        cv::Mat gray, mask = cv::Mat::zeros(size, CV_8UC1);
        mask(inner & (inner - shift)).setTo(255);
        cv::cvtColor(before, gray, cv::COLOR_BGR2GRAY);
        std::vector<cv::Point2f> corners;
        cv::goodFeaturesToTrack(gray, corners, 12, 0.01, 6, mask);
        ASSERT_GE(corners.size(), 4u);
        ASSERT_EQ(feeder.Init(before), 1.0);
        const std::vector<int> ids = AddObjects(corners);
        SetMode(2);
        ASSERT_EQ(feeder.Update(before), 1.0);
        ASSERT_EQ(feeder.Update(before), 1.0);  // a true repeat first
        ASSERT_EQ(feeder.Update(after), 1.0);
        const std::vector<cv::Point2f> tracked = Positions(ids);
        for (size_t i = 0; i < ids.size(); ++i) {
            EXPECT_NEAR(tracked[i].x, corners[i].x + shift.x, 0.1) << "object " << ids[i];
            EXPECT_NEAR(tracked[i].y, corners[i].y + shift.y, 0.1) << "object " << ids[i];
        }
    }
}

TEST_F(Tracking, BadPointsDoNotDisturbTheOthers) {
    const cv::Point2d perFrame(0.52, -0.31);
    const std::vector<cv::Point2f> corners = StrongCorners(Photo(), 100, 24);
    const std::vector<cv::Point2d> badPoints = {{NaN, NaN}, {Inf, -Inf}, {NaN, 100}, {100, Inf},
                                                {1e30, -1e30}, {-5000, 5000}, {1e300, 7}, {-3e9, 3e9}};
    // Runs 20 frames and gives the positions of the good points.
    auto Run = [&](bool withBadPoints) {
        ResetLibrary();
        FrameFeeder feeder;
        EXPECT_EQ(feeder.Init(Photo()), 1.0);
        std::vector<int> goodIds;
        for (size_t i = 0; i < corners.size(); ++i) {
            if (withBadPoints && i % 12 == 0) {
                const cv::Point2d bad = badPoints[(i / 12) % badPoints.size()];
                EXPECT_GE(ObjectAdd(bad.x, bad.y), 0.0);
            }
            goodIds.push_back(static_cast<int>(ObjectAdd(corners[i].x, corners[i].y)));
        }
        SetMode(2);
        EXPECT_EQ(feeder.Update(Photo()), 1.0);
        for (int frame = 1; frame <= 20; ++frame) EXPECT_EQ(feeder.Update(Translated(Photo(), perFrame * frame)), 1.0);
        return Positions(goodIds);
    };
    const std::vector<cv::Point2f> alone = Run(false);
    const std::vector<cv::Point2f> amongBad = Run(true);
    EXPECT_TRUE(SamePositions(amongBad, alone));
    EXPECT_GE(ShareNear(amongBad, corners, perFrame * 20), MinShareNear);
}

// Pictures smaller than the tracker's window and pyramid.
TEST_F(Tracking, TinyFramesAreTrackedSafely) {
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 5), cv::Size(5, 3), cv::Size(9, 9), cv::Size(10, 10),
                                cv::Size(11, 11), cv::Size(21, 21), cv::Size(1, 40), cv::Size(40, 1)}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        ResetLibrary();
        FrameFeeder feeder;
        const float w = static_cast<float>(size.width), h = static_cast<float>(size.height);
        ASSERT_EQ(feeder.Init(TexturedFrame(size.width, size.height, 1)), 1.0);
        const std::vector<int> ids = AddObjects({{0, 0}, {w - 1, h - 1}, {w / 2, h / 2}, {-3, -3}, {w + 2, h + 2},
                                                 {std::numeric_limits<float>::quiet_NaN(), 0}});
        SetMode(2);
        for (int frame = 2; frame < 8; ++frame) {
            ASSERT_EQ(feeder.Update(TexturedFrame(size.width, size.height, frame)), 1.0);
            EXPECT_EQ(GetWidth(), size.width);
            EXPECT_EQ(GetHeight(), size.height);
        }
        // A blank picture holds nothing to follow: points stay put.
        const cv::Mat blank(size, CV_8UC3, cv::Scalar(90, 120, 150));
        ASSERT_EQ(feeder.Update(blank), 1.0);
        const std::vector<cv::Point2f> before = Positions(ids);
        ASSERT_EQ(feeder.Update(blank), 1.0);
        EXPECT_TRUE(SamePositions(Positions(ids), before));
        // Back and forth between a tiny and a full-size picture.
        ASSERT_EQ(feeder.Update(Photo()), 1.0);
        ASSERT_EQ(feeder.Update(Photo()), 1.0);
        ASSERT_EQ(feeder.Update(TexturedFrame(size.width, size.height, 9)), 1.0);
        ASSERT_EQ(feeder.Update(TexturedFrame(size.width, size.height, 10)), 1.0);
        for (const int id : ids) EXPECT_NE(cameraState.objects.slotTable[id], FreeSlot);
    }
}

}  // namespace
}  // namespace torvane::testing
