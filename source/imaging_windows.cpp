#include "imaging_windows.hpp"

#include <opencv2/core/version.hpp>

#include <string>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#endif

namespace torvane {
namespace {

// cv::destroyAllWindows(), as the linker names it.
constexpr const char* DestroyAllWindowsSymbol = "_ZN2cv17destroyAllWindowsEv";

std::string GuiModuleVersionSuffix() {
    const int minor = CV_VERSION_MINOR;
    return std::to_string(CV_VERSION_MAJOR) + (minor < 10 ? "0" : "") + std::to_string(minor);
}

using DestroyAllWindows = void (*)();

void CallQuietly(DestroyAllWindows destroyAll) {
    if (!destroyAll) return;
    try {
        destroyAll();
    } catch (...) {
        // Closing windows is a courtesy; nothing depends on it.
    }
}

}  // namespace

void CloseImagingWindows() {
    DestroyAllWindows destroyAll = nullptr;
#if defined(_WIN32)
    const std::string moduleName = "libopencv_highgui" + GuiModuleVersionSuffix() + ".dll";
    if (HMODULE gui = GetModuleHandleA(moduleName.c_str())) {
        destroyAll = reinterpret_cast<DestroyAllWindows>(
            reinterpret_cast<void*>(GetProcAddress(gui, DestroyAllWindowsSymbol)));
        CallQuietly(destroyAll);
    }
#else
    // RTLD_NOLOAD: a handle only if the host already has the module loaded.
    const std::string moduleName = "libopencv_highgui.so." + GuiModuleVersionSuffix();
    if (void* gui = dlopen(moduleName.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
        destroyAll = reinterpret_cast<DestroyAllWindows>(dlsym(gui, DestroyAllWindowsSymbol));
        CallQuietly(destroyAll);
        dlclose(gui);  // drops only the reference taken just now
    }
#endif
}

}  // namespace torvane
