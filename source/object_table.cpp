// The tracked-object table and the tracking step of mode 2.
//
// The host names objects by stable ids (0..255, the lowest free one handed
// out first). Their points stay packed at the front of pointsCurrent so that
// the tracker takes them as one array with one count; slotTable maps each id
// to the index of its point.
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cstring>
#include <vector>

#include "camera_state.hpp"

namespace torvane {
namespace {

// Sparse pyramidal tracker settings: 10 x 10 window, pyramid level 3, at most
// 20 iterations or a step below 0.03 (taken as a 32-bit float).
const cv::Size TrackerWindow(10, 10);
constexpr int TrackerPyramidLevel = 3;
constexpr int TrackerMaxIterations = 20;
constexpr double TrackerEpsilon = static_cast<double>(0.03f);

}  // namespace

void ClearObjectTable() {
    CameraState::Objects& objects = cameraState.objects;
    std::fill(std::begin(objects.slotTable), std::end(objects.slotTable), FreeSlot);
    std::memset(objects.pointBuffers, 0, sizeof objects.pointBuffers);
    std::memset(objects.trackStatus, 0, sizeof objects.trackStatus);
    objects.pointsCurrent = objects.pointBuffers[0];
    objects.pointsPrevious = objects.pointBuffers[1];
    objects.objectCount = 0;
    objects.searchStart = 0;
}

bool ObjectExists(int id) {
    return id >= 0 && id < MaxObjects && cameraState.objects.slotTable[id] != FreeSlot;
}

int AddObject(float x, float y) {
    CameraState::Objects& objects = cameraState.objects;
    if (objects.objectCount >= MaxObjects) return -1;
    int slot = objects.searchStart;
    while (slot < MaxObjects && objects.slotTable[slot] != FreeSlot) ++slot;
    if (slot >= MaxObjects) return -1;
    objects.slotTable[slot] = static_cast<int16_t>(objects.objectCount);
    objects.pointsCurrent[objects.objectCount] = cv::Point2f(x, y);
    objects.objectCount += 1;
    objects.searchStart = slot + 1;
    return slot;
}

void SetObjectPosition(int id, float x, float y) {
    CameraState::Objects& objects = cameraState.objects;
    objects.pointsCurrent[objects.slotTable[id]] = cv::Point2f(x, y);
}

cv::Point2f ObjectPosition(int id) {
    const CameraState::Objects& objects = cameraState.objects;
    return objects.pointsCurrent[objects.slotTable[id]];
}

void DeleteObject(int id) {
    CameraState::Objects& objects = cameraState.objects;
    objects.searchStart = std::min(objects.searchStart, id);
    const int pointIndex = objects.slotTable[id];
    // Close the gap: every later point moves down one place, to the end of the
    // buffer, and every slot naming a later point is renumbered.
    std::memmove(&objects.pointsCurrent[pointIndex], &objects.pointsCurrent[pointIndex + 1],
                 sizeof(cv::Point2f) * static_cast<size_t>(MaxObjects - 1 - pointIndex));
    for (int16_t& slot : objects.slotTable) {
        if (slot > pointIndex) --slot;
    }
    objects.objectCount -= 1;
    objects.slotTable[id] = FreeSlot;
}

namespace {

// True when both grey pictures hold the same pixels. Differing frames usually
// differ in their first row, so the check costs next to nothing for them.
bool SamePicture(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size()) return false;
    const size_t rowBytes = static_cast<size_t>(a.cols) * a.elemSize();
    for (int y = 0; y < a.rows; ++y) {
        if (std::memcmp(a.ptr(y), b.ptr(y), rowBytes) != 0) return false;
    }
    return true;
}

// Builds the tracker's pyramid of one grey picture: the levels, bordered the
// same way, that the tracker would build itself from the picture, so that it
// answers exactly as if given the pictures, while each picture's pyramid is
// built once and serves two steps (as the newer picture, then the older one).
// The tracker still works out the older picture's derivatives on every call:
// kept from step to step they would cost more memory and time than they save.
void BuildTrackerPyramid(const cv::Mat& gray, std::vector<cv::Mat>& pyramid) {
    cv::buildOpticalFlowPyramid(gray, pyramid, TrackerWindow, TrackerPyramidLevel, false);
}

}  // namespace

void TrackingStep() {
    CameraState::Images& images = cameraState.images;
    CameraState::Objects& objects = cameraState.objects;
    // Until this step completes, neither grayPrevious nor pyramidPrevious stands
    // for the last frame: a step cut short by an exception leaves the next to prime.
    const bool primed = images.grayHistory == GrayHistory::TrackGray;
    const bool previousPyramidReady = primed && images.pyramidPreviousReady;
    images.grayHistory = GrayHistory::None;
    images.pyramidPreviousReady = false;
    cv::cvtColor(cameraState.camera.frame, images.grayCurrent, cv::COLOR_BGR2GRAY);
    // Track only from a grey picture this step made of the frame before; after
    // InitCam, a size change or another mode, this step just primes (building
    // the pyramid the next step starts from). With no objects nothing is built.
    bool pyramidReady = false;
    if (objects.objectCount > 0) {
        if (primed && SamePicture(images.grayPrevious, images.grayCurrent)) {
            // A repeated frame leaves every point exactly in place (the tracker
            // itself can nudge points near the top and left edges by float
            // rounding), and the older pyramid serves for the newer picture.
            pyramidReady = previousPyramidReady;
        } else {
            BuildTrackerPyramid(images.grayCurrent, images.pyramidCurrent);
            if (primed) {
                if (!previousPyramidReady) BuildTrackerPyramid(images.grayPrevious, images.pyramidPrevious);
                const int count = objects.objectCount;
                const cv::Mat startPoints(count, 1, CV_32FC2, objects.pointsCurrent);
                cv::Mat trackedPoints(count, 1, CV_32FC2, objects.pointsPrevious);
                cv::Mat status(count, 1, CV_8UC1, objects.trackStatus);
                cv::calcOpticalFlowPyrLK(images.pyramidPrevious, images.pyramidCurrent, startPoints, trackedPoints,
                                         status, cv::noArray(), TrackerWindow, TrackerPyramidLevel,
                                         cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS,
                                                          TrackerMaxIterations, TrackerEpsilon),
                                         cv::OPTFLOW_LK_GET_MIN_EIGENVALS);
                std::swap(objects.pointsCurrent, objects.pointsPrevious);
            }
            std::swap(images.pyramidPrevious, images.pyramidCurrent);
            pyramidReady = true;
        }
    }
    cv::swap(images.grayPrevious, images.grayCurrent);
    images.pyramidPreviousReady = pyramidReady;
    images.grayHistory = GrayHistory::TrackGray;
}

}  // namespace torvane
