// The shared library used the way a host uses it: loaded by path with dlopen,
// the fifteen names bound with dlsym as plain C functions of doubles.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>

namespace {

using Call0 = double (*)();
using Call1 = double (*)(double);
using Call2 = double (*)(double, double);
using Call3 = double (*)(double, double, double);
using SaveCall = double (*)(const char*);

const char* const ExportedNames[] = {
    "InitCam",  "UpdateFrame", "SaveFrame", "UnloadCam", "GetWidth",          "GetHeight",  "ToggleFlip", "SetMode",
    "IsMotion", "IsColor",     "ObjectAdd", "ObjectSetPosition", "ObjectGetX", "ObjectGetY", "ObjectDelete",
};

class LoadedLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() { handle_ = dlopen(TORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }
    static void TearDownTestSuite() {
        if (handle_) dlclose(handle_);
        handle_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(handle_, nullptr) << dlerror(); }
    template <typename Function>
    static Function Bind(const char* name) {
        return reinterpret_cast<Function>(dlsym(handle_, name));
    }
    static void* handle_;
};
void* LoadedLibrary::handle_ = nullptr;

TEST_F(LoadedLibrary, AllFifteenNamesBindUnmangled) {
    for (const char* name : ExportedNames) EXPECT_NE(dlsym(handle_, name), nullptr) << name;
}

TEST_F(LoadedLibrary, ExportsExactlyTheFifteenCalls) {
    // The dynamic symbol table, as nm reads it: defined, global, in the text section.
    const std::string command = std::string("nm -D --defined-only ") + TORVANE_LIBRARY_PATH;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream fields(line);
        std::string address, kind, name;
        if (fields >> address >> kind >> name && kind != "A") exported.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << "nm failed";
    const std::set<std::string> expected(std::begin(ExportedNames), std::end(ExportedNames));
    EXPECT_EQ(exported, expected);
}

TEST_F(LoadedLibrary, EveryCallAnswersBeforeInitCam) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Bind<Call0>("UpdateFrame")(), 0.0);
    EXPECT_EQ(Bind<SaveCall>("SaveFrame")("never-written.png"), 0.0);
    EXPECT_EQ(Bind<SaveCall>("SaveFrame")(nullptr), 0.0);
    EXPECT_EQ(Bind<Call0>("GetWidth")(), 0.0);
    EXPECT_EQ(Bind<Call0>("GetHeight")(), 0.0);
    EXPECT_EQ(Bind<Call0>("ToggleFlip")(), 1.0);
    EXPECT_EQ(Bind<Call0>("ToggleFlip")(), 1.0);
    EXPECT_EQ(Bind<Call1>("SetMode")(nan), 1.0);
    EXPECT_EQ(Bind<Call2>("IsMotion")(0, 0), 0.0);
    EXPECT_EQ(Bind<Call3>("IsColor")(0, 0, 0), -1.0);
    EXPECT_EQ(Bind<Call2>("ObjectAdd")(0.1, 0.2), 0.0);
    EXPECT_EQ(Bind<Call1>("ObjectGetX")(0), static_cast<double>(0.1f));
    EXPECT_EQ(Bind<Call3>("ObjectSetPosition")(0, 5, 6), 0.0);
    EXPECT_EQ(Bind<Call1>("ObjectGetY")(0), 6.0);
    EXPECT_EQ(Bind<Call1>("ObjectDelete")(0), 0.0);
    EXPECT_EQ(Bind<Call1>("ObjectDelete")(0), -1.0);
    EXPECT_EQ(Bind<Call1>("ObjectGetY")(nan), -1.0);
    EXPECT_EQ(Bind<Call0>("UnloadCam")(), 1.0);
}

// On a machine with no camera, InitCam reports it once on standard error.
TEST_F(LoadedLibrary, WithoutACameraInitCamFailsWithOneMessage) {
    if (std::ifstream("/dev/video0").good()) GTEST_SKIP() << "a camera is present";
    ::testing::internal::CaptureStderr();
    const double opened = Bind<Call0>("InitCam")();
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened, 0.0);
    const std::string message = "Error: Could not initialize camera.\n";
    EXPECT_NE(printed.find(message), std::string::npos) << printed;
    EXPECT_EQ(printed.find(message), printed.rfind(message)) << "shown once";
    EXPECT_EQ(Bind<Call0>("UpdateFrame")(), 0.0);
    EXPECT_EQ(Bind<Call0>("UnloadCam")(), 1.0);
}

// The library never pulls the imaging library's GUI module into its host.
TEST_F(LoadedLibrary, NoGuiModuleIsLoaded) {
    Bind<Call0>("UnloadCam")();
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) EXPECT_EQ(line.find("highgui"), std::string::npos) << line;
}

}  // namespace
