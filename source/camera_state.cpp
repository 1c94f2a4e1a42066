// The state record and the fifteen exported calls. Each export is thin:
// convert the reals, check them, call the internal function. None lets an
// exception out: a failure anywhere becomes the call's own failure value.
#include "camera_state.hpp"

#include <algorithm>

#include "real_convert.hpp"
#include "torvane.h"

namespace torvane {

CameraState cameraState;

CameraState::Objects::Objects() { std::fill(std::begin(slotTable), std::end(slotTable), FreeSlot); }

namespace {

constexpr double Done = 1.0;
constexpr double NotDone = 0.0;
constexpr double Refused = -1.0;

template <typename Body>
double Guarded(double failureValue, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failureValue;
    }
}

bool PixelFromReals(double x, double y, int32_t& ix, int32_t& iy) {
    const CameraState::Camera& camera = cameraState.camera;
    return TruncateIndex(x, camera.frameWidth, ix) && TruncateIndex(y, camera.frameHeight, iy);
}

bool ObjectFromReal(double id, int32_t& objectId) {
    return TruncateIndex(id, MaxObjects, objectId) && ObjectExists(objectId);
}

}  // namespace
}  // namespace torvane

using namespace torvane;

extern "C" {

TORVANE_API double TORVANE_CALL InitCam(void) {
    return Guarded(NotDone, [] { return InitCamera() ? Done : NotDone; });
}

TORVANE_API double TORVANE_CALL UpdateFrame(void) {
    return Guarded(NotDone, [] { return UpdateCameraFrame() ? Done : NotDone; });
}

TORVANE_API double TORVANE_CALL SaveFrame(const char* fileName) {
    return Guarded(NotDone, [fileName] { return SaveCurrentFrame(fileName) ? Done : NotDone; });
}

TORVANE_API double TORVANE_CALL UnloadCam(void) {
    return Guarded(Done, [] {
        UnloadCamera();
        return Done;
    });
}

TORVANE_API double TORVANE_CALL GetWidth(void) {
    return static_cast<double>(cameraState.camera.frame.cols);
}

TORVANE_API double TORVANE_CALL GetHeight(void) {
    return static_cast<double>(cameraState.camera.frame.rows);
}

TORVANE_API double TORVANE_CALL ToggleFlip(void) {
    cameraState.settings.flipEnabled = cameraState.settings.flipEnabled ? 0 : 1;
    return Done;
}

TORVANE_API double TORVANE_CALL SetMode(double mode) {
    cameraState.settings.mode = TruncateLow32BitsSigned(mode);
    return Done;
}

TORVANE_API double TORVANE_CALL IsMotion(double x, double y) {
    return Guarded(NotDone, [x, y] {
        int32_t ix = 0, iy = 0;
        return PixelFromReals(x, y, ix, iy) ? MotionAt(ix, iy) : NotDone;
    });
}

TORVANE_API double TORVANE_CALL IsColor(double x, double y, double color) {
    return Guarded(Refused, [x, y, color] {
        int32_t ix = 0, iy = 0;
        return PixelFromReals(x, y, ix, iy) ? ColorDistanceAt(ix, iy, TruncateLow32Bits(color)) : Refused;
    });
}

TORVANE_API double TORVANE_CALL ObjectAdd(double x, double y) {
    return static_cast<double>(AddObject(NearestFloat(x), NearestFloat(y)));
}

TORVANE_API double TORVANE_CALL ObjectSetPosition(double id, double x, double y) {
    int32_t objectId = 0;
    if (!ObjectFromReal(id, objectId)) return Refused;
    SetObjectPosition(objectId, NearestFloat(x), NearestFloat(y));
    return 0.0;
}

TORVANE_API double TORVANE_CALL ObjectGetX(double id) {
    int32_t objectId = 0;
    return ObjectFromReal(id, objectId) ? static_cast<double>(ObjectPosition(objectId).x) : Refused;
}

TORVANE_API double TORVANE_CALL ObjectGetY(double id) {
    int32_t objectId = 0;
    return ObjectFromReal(id, objectId) ? static_cast<double>(ObjectPosition(objectId).y) : Refused;
}

TORVANE_API double TORVANE_CALL ObjectDelete(double id) {
    int32_t objectId = 0;
    if (!ObjectFromReal(id, objectId)) return Refused;
    DeleteObject(objectId);
    return 0.0;
}

}  // extern "C"
