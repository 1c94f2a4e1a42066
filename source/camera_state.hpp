// The library's one process-global state record and the internal calls that
// the exported functions forward to. Everything here runs on the host's
// thread, one call at a time.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <vector>

#include "camera_seam.hpp"
#include "motion_pyramid.hpp"

namespace torvane {

enum Mode : int32_t { ModeMotion = 0, ModeCopy = 1, ModeTrack = 2 };

constexpr int MaxObjects = 256;
constexpr int16_t FreeSlot = -1;

// What grayPrevious holds, so that each mode's first step after something else
// ran can prime from a real picture of its own kind instead of a stale one.
enum class GrayHistory : uint8_t {
    None,        // nothing usable: after InitCam, a size change or another mode
    MotionGray,  // the motion step's grey image of the last frame
    TrackGray,   // the tracking step's grey image of the last frame
};

struct CameraState {
    // The camera and its latest frame.
    struct Camera {
        std::unique_ptr<FrameSource> capture;  // the open camera, or null when closed
        cv::Mat frame;        // latest fetched frame, 8-bit BGR; empty when the last fetch failed or the camera is closed
        cv::Mat fetchScratch; // raw fetch buffer for frames that need converting to BGR
        int32_t frameWidth = 0;   // width in pixels of every working image below; 0 while none exist
        int32_t frameHeight = 0;  // height in pixels of every working image below; 0 while none exist
    } camera;

    // Working images, all frameWidth x frameHeight, created zeroed.
    struct Images {
        cv::Mat keptFrame;     // 8-bit BGR copy of the latest frame, refreshed in modes 0 and 1; the picture IsColor samples
        cv::Mat grayCurrent;   // 8-bit grey of the current frame
        cv::Mat grayPrevious;  // 8-bit grey of the previous frame (kind given by grayHistory)
        cv::Mat flowX;         // 32-bit float, horizontal velocity of every pixel, pixels per frame
        cv::Mat flowY;         // 32-bit float, vertical velocity of every pixel, pixels per frame
        GrayHistory grayHistory = GrayHistory::None;  // what grayPrevious holds
        bool keptFrameHoldsPicture = false;  // false until keptFrame is first refreshed from a real frame
        MotionFieldWorkspace motionWorkspace;  // pyramids and scratch of the motion field, reused across frames
        std::vector<cv::Mat> pyramidPrevious;  // tracker pyramid of grayPrevious: its 8-bit grey levels, each bordered by the tracker window
        std::vector<cv::Mat> pyramidCurrent;   // the same for the newest grey picture while a tracking step runs; the two exchange roles
        bool pyramidPreviousReady = false;     // true only when pyramidPrevious was built from the picture now in grayPrevious
    } images;

    // The tracked-object table: fixed storage for the library's whole life.
    struct Objects {
        cv::Point2f pointBuffers[2][MaxObjects] = {};  // storage behind pointsCurrent / pointsPrevious
        cv::Point2f* pointsCurrent = pointBuffers[0];  // newest position of every object, packed at the front (pixels)
        cv::Point2f* pointsPrevious = pointBuffers[1]; // receives the tracker's output before the two exchange roles
        int16_t slotTable[MaxObjects];                 // object id -> point index, or FreeSlot
        uint8_t trackStatus[MaxObjects] = {};          // per-point status written by the tracker; informational
        int32_t objectCount = 0;   // live points occupy indices 0..objectCount-1 of pointsCurrent
        int32_t searchStart = 0;   // every slot below it is in use
        Objects();
    } objects;

    // Host-set switches; never reset by any call.
    struct Settings {
        int32_t mode = ModeMotion;  // 0 motion, 1 copy, 2 track, other: fetch only
        uint8_t flipEnabled = 0;    // 1: mirror every fetched frame left to right
    } settings;
};

// The record itself. Zero/empty at load; see the field comments.
extern CameraState cameraState;

// Camera lifecycle and frame update.
bool InitCamera();
bool UpdateCameraFrame();
bool SaveCurrentFrame(const char* fileName);
void UnloadCamera();
// (Re)creates every working image at the given size, zeroed, and restarts the
// motion and tracking history. Object ids and positions are kept.
void CreateWorkingImages(int width, int height);

// Motion field and pixel probes (x, y already bounds-checked).
void MotionStep();
double MotionAt(int x, int y);
double ColorDistanceAt(int x, int y, uint32_t packedColor);

// Object table and tracking.
void TrackingStep();
void ClearObjectTable();
int AddObject(float x, float y);            // new id, or -1 when full
bool ObjectExists(int id);                  // id in 0..255 naming a live object
void SetObjectPosition(int id, float x, float y);
cv::Point2f ObjectPosition(int id);
void DeleteObject(int id);

}  // namespace torvane
