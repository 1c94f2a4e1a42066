// The library under the floating-point states hosts run in: traps on, flags
// already raised, another rounding direction, flush-to-zero, lower x87
// precision. Every call must give the same answers as under the default state
// and hand the host back exactly the state it had, bit for bit.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "float_environment.hpp"
#include "host_float_state.hpp"
#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr int Width = 64, Height = 48;

// Reals a host may pass anywhere a real is taken.
const std::vector<double>& SpecialDoubles() {
    static const std::vector<double> table = {
        NaN, -NaN, Inf, -Inf, 0.0, -0.0, 0.5, -0.5, 0.99, 2.9, -1.5, 255.0, 255.9, 256.0, Width - 0.5, Width,
        Height - 0.5, Height, 2147483648.0, 4294967296.0, 9007199254740992.0, 9223372036854775808.0,
        18446744073709551616.0, 1e300, -1e300, std::numeric_limits<double>::denorm_min(),
        -std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
        std::numeric_limits<double>::max(), 16777215.0, 16777216.0, 3.4028235677973366e38, 1e-45};
    return table;
}

struct Step {
    std::string name;
    std::function<double()> call;
};

struct StepOutcome {
    double answer;
    HostFloatState givenBack;
};

// The only code between setting the host's state and reading it back is the
// library call itself.
__attribute__((noinline)) StepOutcome CallUnder(const HostFloatState& host, const std::function<double()>& call) {
    const HostFloatState test = ReadHostFloatState();
    WriteHostFloatState(host);
    const double answer = call();
    const HostFloatState givenBack = ReadHostFloatState();
    WriteHostFloatState(test);
    return {answer, givenBack};
}

bool SameReal(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string Hex(const HostFloatState& state) {
    char text[64];
    std::snprintf(text, sizeof text, "mxcsr %04x x87 control %04x status %04x", unsigned(state.mxcsr),
                  unsigned(state.x87Control), unsigned(state.x87Status));
    return text;
}

// Frames whose texture moves by a fraction of a pixel each time, so that the
// dense field, the tracker and the colour probe all have real work.
std::vector<cv::Mat> MovingFrames(int count) {
    const cv::Mat base = TexturedFrame(Width, Height, 7);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i) {
        const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 0.7 * i, 0, 1, 0.3 * i);
        cv::Mat moved;
        cv::warpAffine(base, moved, shift, base.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        frames.push_back(moved);
    }
    return frames;
}

class FloatEnvironment : public LibraryTest {
protected:
    // Every call, with ordinary and special reals, through each mode.
    std::vector<Step> Script() {
        std::vector<Step> steps;
        auto add = [&steps](std::string name, std::function<double()> call) {
            steps.push_back({std::move(name), std::move(call)});
        };
        add("InitCam (no camera)", [] { return InitCam(); });
        add("UpdateFrame (no camera)", [] { return UpdateFrame(); });
        add("open", [this] {
            camera_->SetCanOpen(true);
            return InitCam();
        });
        for (double mode : {0.0, 1.0, 2.0}) {
            add("SetMode", [mode] { return SetMode(mode); });
            for (int i = 0; i < 3; ++i) add("UpdateFrame", [] { return UpdateFrame(); });
            if (mode == 1.0) add("ObjectAdd", [] { return ObjectAdd(20.25, 30.5); });
            for (double x : {0.0, 10.0, 31.5, 63.0}) {
                for (double y : {0.0, 12.0, 47.9}) {
                    add("IsMotion", [x, y] { return IsMotion(x, y); });
                    add("IsColor", [x, y] { return IsColor(x, y, 0x204080); });
                }
            }
            add("ObjectGetX", [] { return ObjectGetX(0); });
            add("ObjectGetY", [] { return ObjectGetY(0); });
        }
        add("GetWidth", [] { return GetWidth(); });
        add("GetHeight", [] { return GetHeight(); });
        add("ToggleFlip", [] { return ToggleFlip(); });
        add("UpdateFrame", [] { return UpdateFrame(); });
        for (double special : SpecialDoubles()) {
            add("IsMotion(special, 5)", [special] { return IsMotion(special, 5); });
            add("IsMotion(5, special)", [special] { return IsMotion(5, special); });
            add("IsColor(special, 5, 0)", [special] { return IsColor(special, 5, 0); });
            add("IsColor(5, 5, special)", [special] { return IsColor(5, 5, special); });
            add("ObjectAdd(special, special)", [special] { return ObjectAdd(special, -special); });
            add("ObjectSetPosition(1, special, 2)", [special] { return ObjectSetPosition(1, special, 2); });
            add("ObjectSetPosition(special, 1, 2)", [special] { return ObjectSetPosition(special, 1, 2); });
            add("ObjectGetX(1)", [] { return ObjectGetX(1); });
            add("ObjectGetY(special)", [special] { return ObjectGetY(special); });
            add("ObjectDelete(special)", [special] { return ObjectDelete(special); });
            add("SetMode(special)", [special] { return SetMode(special); });
            add("UpdateFrame", [] { return UpdateFrame(); });
        }
        const std::string picture = ::testing::TempDir() + "torvane_float_environment.png";
        add("SaveFrame(png)", [picture] { return SaveFrame(picture.c_str()); });
        add("SaveFrame(bad extension)", [] { return SaveFrame("frame.unknown"); });
        add("SaveFrame(null)", [] { return SaveFrame(nullptr); });
        add("UnloadCam", [] { return UnloadCam(); });
        add("IsColor (closed)", [] { return IsColor(1, 1, 0); });
        return steps;
    }

    std::vector<double> RunScript(const HostFloatState& host) {
        ResetLibrary();
        camera_ = std::make_unique<ScriptedCamera>(frames_);
        camera_->SetCanOpen(false);
        std::vector<double> answers;
        for (const Step& step : Script()) {
            const StepOutcome outcome = CallUnder(host, step.call);
            EXPECT_EQ(outcome.givenBack, host)
                << step.name << " gave back " << Hex(outcome.givenBack) << ", host had " << Hex(host);
            answers.push_back(outcome.answer);
        }
        camera_.reset();
        return answers;
    }

    const std::vector<cv::Mat> frames_ = MovingFrames(8);
    std::unique_ptr<ScriptedCamera> camera_;
};

TEST_F(FloatEnvironment, EveryCallAnswersAsUnderTheDefaultStateAndGivesTheHostItsStateBack) {
    const std::vector<NamedFloatState> states = HostFloatStates();
    const std::vector<double> expected = RunScript(states.front().state);
    const std::vector<Step> steps = Script();
    ASSERT_EQ(expected.size(), steps.size());
    EXPECT_EQ(expected[2], 1.0) << "the scripted camera did not open";
    for (const NamedFloatState& named : states) {
        SCOPED_TRACE(named.name);
        const std::vector<double> answers = RunScript(named.state);
        ASSERT_EQ(answers.size(), expected.size());
        for (size_t i = 0; i < answers.size(); ++i) {
            EXPECT_TRUE(SameReal(answers[i], expected[i]))
                << "step " << i << " " << steps[i].name << ": " << answers[i] << ", default state gave " << expected[i];
        }
    }
}

// Inside a call the library's own state is in force, whatever the host's;
// the start-up notice is the one place where a test can look from inside.
HostFloatState stateSeenByNotice;
void RecordStateAtNotice(const char*, const char*) { stateSeenByNotice = ReadHostFloatState(); }

TEST_F(FloatEnvironment, CallsRunUnderTheLibraryState) {
#if !TORVANE_TEST_X86_FLOAT_STATE
    GTEST_SKIP() << "x86 only";
#endif
    ScriptedCamera camera{cv::Mat()};
    camera.SetCanOpen(false);
    for (const NamedFloatState& named : HostFloatStates()) {
        SCOPED_TRACE(named.name);
        SetNoticeHandler(&RecordStateAtNotice);
        stateSeenByNotice = HostFloatState{0, 0, 0};
        const StepOutcome outcome = CallUnder(named.state, [] { return InitCam(); });
        SetNoticeHandler(nullptr);
        EXPECT_EQ(outcome.answer, 0.0);
        EXPECT_EQ(outcome.givenBack, named.state);
        EXPECT_EQ(stateSeenByNotice.mxcsr & ~0x3Fu, 0x1F80u) << Hex(stateSeenByNotice);
        EXPECT_EQ(stateSeenByNotice.x87Control & 0x0F3F, 0x033F) << Hex(stateSeenByNotice);
    }
}

// The scope as worker bodies use it: nested, and on a thread whose state is
// already the library's, it still hides the flags raised inside.
TEST_F(FloatEnvironment, ScopeHidesFlagsRaisedInsideAndRestoresNestedStates) {
#if !TORVANE_TEST_X86_FLOAT_STATE
    GTEST_SKIP() << "x86 only";
#endif
    volatile double zero = 0.0;
    volatile double result = 0.0;
    for (const NamedFloatState& named : HostFloatStates()) {
        SCOPED_TRACE(named.name);
        const HostFloatState test = ReadHostFloatState();
        WriteHostFloatState(named.state);
        {
            LibraryFloatScope outer;
            {
                LibraryFloatScope inner;
                result = zero / zero;  // invalid: a trap if the host's masks were in force
            }
            result = 1.0 / zero;       // divide-by-zero
        }
        const HostFloatState givenBack = ReadHostFloatState();
        WriteHostFloatState(test);
        EXPECT_EQ(givenBack, named.state) << Hex(givenBack);
        EXPECT_TRUE(std::isinf(result));
    }
}

}  // namespace
}  // namespace torvane::testing
