// The state record and the fifteen exported calls. Each export is thin: it
// switches to the library's floating-point state, then runs the call's body,
// which converts the reals, checks them and calls the internal function. None
// lets an exception out: a failure anywhere becomes the call's own failure value.
#include "camera_state.hpp"

#include <algorithm>

#include "float_environment.hpp"
#include "real_convert.hpp"
#include "torvane.h"

// A call body is kept out of line and out of interprocedural analysis, so
// that none of its work on the host's reals (a comparison with NaN raises the
// invalid-operation exception) can be moved ahead of the state switch.
#if defined(__clang__)
#  define TORVANE_CALL_BODY __attribute__((noinline))
#else
#  define TORVANE_CALL_BODY __attribute__((noinline, noipa))
#endif

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


// ---- the bodies of the exported calls, run under the library's state

TORVANE_CALL_BODY double InitCamBody() {
    return Guarded(NotDone, [] { return InitCamera() ? Done : NotDone; });
}

TORVANE_CALL_BODY double UpdateFrameBody() {
    return Guarded(NotDone, [] { return UpdateCameraFrame() ? Done : NotDone; });
}

TORVANE_CALL_BODY double SaveFrameBody(const char* fileName) {
    return Guarded(NotDone, [fileName] { return SaveCurrentFrame(fileName) ? Done : NotDone; });
}

TORVANE_CALL_BODY double UnloadCamBody() {
    return Guarded(Done, [] {
        UnloadCamera();
        return Done;
    });
}

TORVANE_CALL_BODY double GetWidthBody() { return static_cast<double>(cameraState.camera.frame.cols); }

TORVANE_CALL_BODY double GetHeightBody() { return static_cast<double>(cameraState.camera.frame.rows); }

TORVANE_CALL_BODY double ToggleFlipBody() {
    cameraState.settings.flipEnabled = cameraState.settings.flipEnabled ? 0 : 1;
    return Done;
}

TORVANE_CALL_BODY double SetModeBody(double mode) {
    cameraState.settings.mode = TruncateLow32BitsSigned(mode);
    return Done;
}

TORVANE_CALL_BODY double IsMotionBody(double x, double y) {
    return Guarded(NotDone, [x, y] {
        int32_t ix = 0, iy = 0;
        return PixelFromReals(x, y, ix, iy) ? MotionAt(ix, iy) : NotDone;
    });
}

TORVANE_CALL_BODY double IsColorBody(double x, double y, double color) {
    return Guarded(Refused, [x, y, color] {
        int32_t ix = 0, iy = 0;
        return PixelFromReals(x, y, ix, iy) ? ColorDistanceAt(ix, iy, TruncateLow32Bits(color)) : Refused;
    });
}

TORVANE_CALL_BODY double ObjectAddBody(double x, double y) {
    return static_cast<double>(AddObject(NearestFloat(x), NearestFloat(y)));
}

TORVANE_CALL_BODY double ObjectSetPositionBody(double id, double x, double y) {
    int32_t objectId = 0;
    if (!ObjectFromReal(id, objectId)) return Refused;
    SetObjectPosition(objectId, NearestFloat(x), NearestFloat(y));
    return 0.0;
}

TORVANE_CALL_BODY double ObjectGetXBody(double id) {
    int32_t objectId = 0;
    return ObjectFromReal(id, objectId) ? static_cast<double>(ObjectPosition(objectId).x) : Refused;
}

TORVANE_CALL_BODY double ObjectGetYBody(double id) {
    int32_t objectId = 0;
    return ObjectFromReal(id, objectId) ? static_cast<double>(ObjectPosition(objectId).y) : Refused;
}

TORVANE_CALL_BODY double ObjectDeleteBody(double id) {
    int32_t objectId = 0;
    if (!ObjectFromReal(id, objectId)) return Refused;
    DeleteObject(objectId);
    return 0.0;
}

}  // namespace
}  // namespace torvane

using namespace torvane;

extern "C" {

TORVANE_API double TORVANE_CALL InitCam(void) {
    ExportedCallFloatScope floatScope;
    return InitCamBody();
}

TORVANE_API double TORVANE_CALL UpdateFrame(void) {
    ExportedCallFloatScope floatScope;
    return UpdateFrameBody();
}

TORVANE_API double TORVANE_CALL SaveFrame(const char* fileName) {
    ExportedCallFloatScope floatScope;
    return SaveFrameBody(fileName);
}

TORVANE_API double TORVANE_CALL UnloadCam(void) {
    ExportedCallFloatScope floatScope;
    return UnloadCamBody();
}

TORVANE_API double TORVANE_CALL GetWidth(void) {
    ExportedCallFloatScope floatScope;
    return GetWidthBody();
}

TORVANE_API double TORVANE_CALL GetHeight(void) {
    ExportedCallFloatScope floatScope;
    return GetHeightBody();
}

TORVANE_API double TORVANE_CALL ToggleFlip(void) {
    ExportedCallFloatScope floatScope;
    return ToggleFlipBody();
}

TORVANE_API double TORVANE_CALL SetMode(double mode) {
    ExportedCallFloatScope floatScope;
    return SetModeBody(mode);
}

TORVANE_API double TORVANE_CALL IsMotion(double x, double y) {
    ExportedCallFloatScope floatScope;
    return IsMotionBody(x, y);
}

TORVANE_API double TORVANE_CALL IsColor(double x, double y, double color) {
    ExportedCallFloatScope floatScope;
    return IsColorBody(x, y, color);
}

TORVANE_API double TORVANE_CALL ObjectAdd(double x, double y) {
    ExportedCallFloatScope floatScope;
    return ObjectAddBody(x, y);
}

TORVANE_API double TORVANE_CALL ObjectSetPosition(double id, double x, double y) {
    ExportedCallFloatScope floatScope;
    return ObjectSetPositionBody(id, x, y);
}

TORVANE_API double TORVANE_CALL ObjectGetX(double id) {
    ExportedCallFloatScope floatScope;
    return ObjectGetXBody(id);
}

TORVANE_API double TORVANE_CALL ObjectGetY(double id) {
    ExportedCallFloatScope floatScope;
    return ObjectGetYBody(id);
}

TORVANE_API double TORVANE_CALL ObjectDelete(double id) {
    ExportedCallFloatScope floatScope;
    return ObjectDeleteBody(id);
}

}  // extern "C"
