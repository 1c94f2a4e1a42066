#include "startup_notice.hpp"

#if defined(_WIN32)
#  include <windows.h>

#  include "float_environment.hpp"
#else
#  include <cstdio>
#endif

namespace torvane {
namespace {

#if defined(_WIN32)
struct MessageBoxText {
    const char* caption;
    const char* text;
};

void ShowMessageBox(void* context) {
    const auto* message = static_cast<const MessageBoxText*>(context);
    // Modal, no owner window: blocks the caller until the user closes it.
    MessageBoxA(nullptr, message->text, message->caption, MB_OK);
}
#endif

void PlatformNotice(const char* caption, const char* text) {
#if defined(_WIN32)
    // The box's message loop runs the host's own window code, so it runs
    // under the host's floating-point state, not the library's.
    MessageBoxText message{caption, text};
    ExportedCallFloatScope::RunUnderCallerState(&ShowMessageBox, &message);
#else
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
#endif
}

NoticeHandler installedHandler = nullptr;

}  // namespace

void ShowNotice(const char* caption, const char* text) {
    (installedHandler ? installedHandler : PlatformNotice)(caption, text);
}

void SetNoticeHandler(NoticeHandler handler) { installedHandler = handler; }

}  // namespace torvane
