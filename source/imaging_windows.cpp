#include "imaging_windows.hpp"

#include <opencv2/core/version.hpp>

#include <string>

#if defined(_WIN32)
#  include <windows.h>
#  include <tlhelp32.h>

#  include <cctype>
#else
#  include <dlfcn.h>
#endif

namespace torvane {
namespace {

using DestroyAllWindows = void (*)();

void CallQuietly(DestroyAllWindows destroyAll) {
    if (!destroyAll) return;
    try {
        destroyAll();
    } catch (...) {
        // Closing windows is a courtesy; nothing depends on it.
    }
}

// cv::destroyAllWindows(), as GCC and Clang name it.
constexpr const char* DestroyAllWindowsSymbol = "_ZN2cv17destroyAllWindowsEv";

#if defined(_WIN32)
// The same function as MSVC names it (void __cdecl cv::destroyAllWindows(void)).
constexpr const char* DestroyAllWindowsMsvcSymbol = "?destroyAllWindows@cv@@YAXXZ";

// A module that can hold the GUI functions of any 4.x release: the GUI module
// or the all-in-one "world" module, as MinGW names them (libopencv_highgui4XX.dll)
// or MSVC does (opencv_highgui4XX.dll, opencv_highgui4XXd.dll for debug builds).
bool IsImagingGuiModuleName(const char* fileName) {
    std::string name(fileName);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.compare(0, 3, "lib") == 0) name.erase(0, 3);
    for (const std::string stem : {"opencv_highgui4", "opencv_world4"}) {
        if (name.compare(0, stem.size(), stem) != 0) continue;
        const std::string rest = name.substr(stem.size());  // "XX.dll" or "XXd.dll"
        if (rest.size() < 6 || !std::isdigit(static_cast<unsigned char>(rest[0])) ||
            !std::isdigit(static_cast<unsigned char>(rest[1])))
            continue;
        const std::string suffix = rest.substr(2);
        if (suffix == ".dll" || suffix == "d.dll") return true;
    }
    return false;
}

void CloseWindowsOfModule(HMODULE gui) {
    for (const char* symbol : {DestroyAllWindowsSymbol, DestroyAllWindowsMsvcSymbol}) {
        if (FARPROC found = GetProcAddress(gui, symbol)) {
            CallQuietly(reinterpret_cast<void (*)()>(reinterpret_cast<void*>(found)));
            return;
        }
    }
}
#else
std::string GuiModuleVersionSuffix() {
    const int minor = CV_VERSION_MINOR;
    return std::to_string(CV_VERSION_MAJOR) + (minor < 10 ? "0" : "") + std::to_string(minor);
}
#endif

}  // namespace

void CloseImagingWindows() {
#if defined(_WIN32)
    // Any 4.x build the host loaded, from either compiler: the modules loaded
    // in this process are listed, and each that matches is asked by name.
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    for (BOOL more = Module32First(snapshot, &module); more; more = Module32Next(snapshot, &module)) {
        if (IsImagingGuiModuleName(module.szModule)) CloseWindowsOfModule(module.hModule);
    }
    CloseHandle(snapshot);
#else
    DestroyAllWindows destroyAll = nullptr;
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
