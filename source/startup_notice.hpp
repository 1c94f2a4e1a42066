// How the library tells the user that the camera could not be started: the
// only messages it ever shows.
#pragma once

namespace torvane {

constexpr const char* NoticeCaption = "Error";
constexpr const char* NoticeCameraNotOpened = "Could not initialize camera.";
constexpr const char* NoticeNoFirstFrame = "Could not capture camera frame.";

using NoticeHandler = void (*)(const char* caption, const char* text);

// A modal message box on Windows; one line "Error: <text>" on standard error
// elsewhere.
void ShowNotice(const char* caption, const char* text);

// Replaces where notices go (tests record them); null restores the platform's.
void SetNoticeHandler(NoticeHandler handler);

}  // namespace torvane
