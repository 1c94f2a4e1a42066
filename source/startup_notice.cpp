#include "startup_notice.hpp"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <cstdio>
#endif

namespace torvane {
namespace {

void PlatformNotice(const char* caption, const char* text) {
#if defined(_WIN32)
    // Modal, no owner window: blocks the caller until the user closes it.
    MessageBoxA(nullptr, text, caption, MB_OK);
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
