// Shared fixture pieces: a recorder for start-up notices and a test base that
// puts the library's global state back to "just loaded" around each test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera_state.hpp"
#include "startup_notice.hpp"
#include "torvane.h"

namespace torvane::testing {

struct RecordedNotice {
    std::string caption;
    std::string text;
    bool operator==(const RecordedNotice& other) const { return caption == other.caption && text == other.text; }
};

// Records every notice instead of printing it, for its lifetime.
class NoticeRecorder {
public:
    NoticeRecorder() {
        Notices().clear();
        SetNoticeHandler(&Record);
    }
    ~NoticeRecorder() { SetNoticeHandler(nullptr); }
    const std::vector<RecordedNotice>& notices() const { return Notices(); }

private:
    static std::vector<RecordedNotice>& Notices() {
        static std::vector<RecordedNotice> notices;
        return notices;
    }
    static void Record(const char* caption, const char* text) { Notices().push_back({caption, text}); }
};

// Each test starts from the state of a freshly loaded library.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override { ResetLibrary(); }
    void TearDown() override { ResetLibrary(); }
    static void ResetLibrary() {
        UnloadCam();
        ClearObjectTable();
        cameraState.settings = CameraState::Settings{};
    }
    NoticeRecorder notices_;
};

}  // namespace torvane::testing
