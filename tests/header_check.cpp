// The public header compiles on its own as strict C++17, with C linkage and
// the signatures a host binds the calls with.
#include "torvane.h"

#include <type_traits>

static_assert(std::is_same_v<decltype(&InitCam), double (*)()>);
static_assert(std::is_same_v<decltype(&SaveFrame), double (*)(const char*)>);
static_assert(std::is_same_v<decltype(&SetMode), double (*)(double)>);
static_assert(std::is_same_v<decltype(&IsMotion), double (*)(double, double)>);
static_assert(std::is_same_v<decltype(&IsColor), double (*)(double, double, double)>);
static_assert(std::is_same_v<decltype(&ObjectSetPosition), double (*)(double, double, double)>);
static_assert(std::is_same_v<decltype(&ObjectDelete), double (*)(double)>);
