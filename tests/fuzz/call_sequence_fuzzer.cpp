// Call-sequence fuzzer: any sequence of the fifteen exported calls, with any
// arguments, against a scripted camera that misbehaves on cue. After every call
// the answer is checked against the state table of the public header and a
// small shadow model of the object table and of the picture the colour probe
// samples (kept from the frames the camera served, the mirroring and the
// mode), and the state record's own invariants are checked directly. Any
// violation aborts with a message.
//
// An input reads as a camera script (frame size, layout, motion, up to three
// events such as a missed frame or a reconnect), then one byte per call naming
// it, each followed by the bytes of its arguments. TORVANE_FUZZ_TRACE=1 prints
// every call and every read of the camera.
//
// Built two ways from this one file: with libFuzzer (TORVANE_LIBFUZZER) as the
// fuzzer itself, and as a plain program that replays the inputs found in the
// files and folders it is given (the committed corpus runs as a test).
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "camera_state.hpp"
#include "scripted_camera.hpp"
#include "startup_notice.hpp"
#include "torvane.h"

namespace {

namespace fs = std::filesystem;
using torvane::cameraState;
using torvane::testing::ScriptedCamera;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr int MaxCalls = 400;
// Updates that run the dense field or the tracker on the largest frame, and
// encodes of it, cost far more than anything else: a few per input keep each
// input well inside the time-out, so that slow inputs do not hide real findings.
constexpr int MaxExpensiveUpdates = 2;
constexpr int MaxLargeFrameUpdates = 6;
constexpr int MaxLargeFrameSaves = 2;
constexpr int LargeFrameArea = 64 * 48;

// ---------------------------------------------------------------- input bytes

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return position_ >= size_; }
    uint8_t Byte() { return Empty() ? 0 : data_[position_++]; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
    uint64_t U64() { return static_cast<uint64_t>(U32()) | (static_cast<uint64_t>(U32()) << 32); }
    double RawDouble() {
        const uint64_t bits = U64();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    float RawFloat() {
        const uint32_t bits = U32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// ------------------------------------------------------------------ failures

// The harness's own bookkeeping gives the fuzzer no useful feedback: keep its
// loops out of the coverage instrumentation, which would otherwise dominate.
#if defined(__clang__) && defined(TORVANE_LIBFUZZER)
#  define HARNESS_BOOKKEEPING __attribute__((no_sanitize("coverage")))
#else
#  define HARNESS_BOOKKEEPING
#endif

// TORVANE_FUZZ_TRACE=1 prints every call and its answer, to read a finding.
bool Tracing() {
    static const bool tracing = std::getenv("TORVANE_FUZZ_TRACE") != nullptr;
    return tracing;
}

[[noreturn]] void Fail(const char* format, ...) {
    std::fprintf(stderr, "\n*** torvane call-sequence check failed: ");
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    std::abort();
}

// Same value, bit for bit, or both NaN.
bool SameReal(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------- the camera script

struct FrameSize {
    int width, height;
};
// The largest size is drawn less often: it costs a hundred times more per update.
constexpr FrameSize FrameSizes[] = {{1, 1}, {3, 5}, {7, 7}, {9, 9}, {64, 48}, {641, 481}, {3, 5}, {64, 48},
                                    {1, 1}, {3, 5}, {7, 7}, {9, 9}, {64, 48}, {16, 12}, {3, 5}, {64, 48}};

enum class EventKind : uint8_t {
    CannotOpen,      // open attempt number `at` finds no camera
    NoFirstFrame,    // the first read after open number `at` misses
    OneMissedFrame,  // read number `at` misses
    AllLaterMissed,  // every read from number `at` on misses, reopened or not
    Reconnect,       // the camera open at read `at` goes dark; a later InitCam reaches it again
    SizeChange,      // frames from read `at` on have another size
    ChannelChange,   // frames from read `at` on have another layout: grey, BGRA, or unusable ones
    ReadThrows,      // read number `at` fails by throwing, as a camera backend may
    Count
};

struct Event {
    EventKind kind;
    long at;
    int parameter;  // size index, or channel count (SixteenBitFrame: 16-bit BGR)
};

// Where texture for each size comes from: a larger picture, so that every frame
// can be a shifted window of it and the dense field sees real motion.
constexpr int TexturePad = 8;
const cv::Mat& TextureFor(int sizeIndex) {
    static std::map<int, cv::Mat> textures;
    auto found = textures.find(sizeIndex);
    if (found == textures.end()) {
        const FrameSize size = FrameSizes[sizeIndex];
        found = textures
                    .emplace(sizeIndex, torvane::testing::TexturedFrame(size.width + TexturePad,
                                                                        size.height + TexturePad, sizeIndex + 1))
                    .first;
    }
    return found->second;
}

constexpr int SixteenBitFrame = 16;  // a layout the library does not read: treated as no frame
constexpr int FrameLayouts[] = {1, 4, 2, SixteenBitFrame};

// What one read will deliver.
struct ReadOutcome {
    bool delivers = false;
    bool throws = false;
    int sizeIndex = 0;
    int channels = 3;
    // Whether the library gets a frame it can use from this read.
    bool Usable() const { return delivers && !throws && (channels == 1 || channels == 3 || channels == 4); }
};

class CameraScript {
public:
    explicit CameraScript(ByteReader& input) {
        sizeIndex_ = input.Byte() % std::size(FrameSizes);
        const uint8_t channelPick = input.Byte() % 3;
        channels_ = channelPick == 0 ? 3 : channelPick == 1 ? 1 : 4;
        const uint8_t motion = input.Byte();
        stepX_ = motion % 4;
        stepY_ = (motion / 4) % 4;
        const int eventCount = input.Byte() % 4;
        for (int i = 0; i < eventCount; ++i) {
            Event event;
            event.kind = static_cast<EventKind>(input.Byte() % static_cast<int>(EventKind::Count));
            event.at = input.Byte() % 64;
            if (event.kind == EventKind::CannotOpen || event.kind == EventKind::NoFirstFrame) event.at %= 4;
            const uint8_t parameter = input.Byte();
            event.parameter = event.kind == EventKind::SizeChange ? parameter % static_cast<int>(std::size(FrameSizes))
                                                                   : FrameLayouts[parameter % std::size(FrameLayouts)];
            events_.push_back(event);
        }
    }

    void Attach(const ScriptedCamera* camera) { camera_ = camera; }

    // Whether open attempt number `attempt` (counted from 0) finds the camera.
    bool CanOpen(int attempt) const {
        for (const Event& event : events_) {
            if (event.kind == EventKind::CannotOpen && event.at == attempt) return false;
        }
        return true;
    }

    // What read number `index` delivers when made by open number `openNumber`
    // as its `readsSinceOpen`-th read. Pure: the harness predicts with it.
    ReadOutcome Describe(long index, int openNumber, long readsSinceOpen) const {
        ReadOutcome outcome;
        outcome.delivers = true;
        outcome.sizeIndex = sizeIndex_;
        outcome.channels = channels_;
        for (const Event& event : events_) {
            switch (event.kind) {
                case EventKind::CannotOpen: break;
                case EventKind::NoFirstFrame:
                    if (readsSinceOpen == 0 && openNumber == event.at + 1) outcome.delivers = false;
                    break;
                case EventKind::OneMissedFrame:
                    if (index == event.at) outcome.delivers = false;
                    break;
                case EventKind::AllLaterMissed:
                    if (index >= event.at) outcome.delivers = false;
                    break;
                case EventKind::Reconnect:
                    if (index >= event.at && (deadOpen_ == 0 || deadOpen_ == openNumber)) outcome.delivers = false;
                    break;
                case EventKind::SizeChange:
                    if (index >= event.at) outcome.sizeIndex = event.parameter;
                    break;
                case EventKind::ChannelChange:
                    if (index >= event.at) outcome.channels = event.parameter;
                    break;
                case EventKind::ReadThrows:
                    if (index == event.at) outcome.throws = true;
                    break;
                case EventKind::Count: break;
            }
        }
        return outcome;
    }

    // Describes the read the library is about to make through the open camera
    // (afterOpen: through the one InitCam is about to open).
    ReadOutcome NextRead(bool afterOpen) const {
        const int opened = camera_->TimesOpened();
        if (afterOpen) return Describe(camera_->FramesRead(), opened + 1, 0);
        return Describe(camera_->FramesRead(), opened, opened == lastOpen_ ? readsSinceOpen_ : 0);
    }

    // The generator behind the scripted camera.
    bool Produce(long index, cv::Mat& frame) {
        const int opened = camera_->TimesOpened();
        if (opened != lastOpen_) {
            lastOpen_ = opened;
            readsSinceOpen_ = 0;
        }
        const ReadOutcome outcome = Describe(index, opened, readsSinceOpen_);
        for (const Event& event : events_) {
            if (event.kind == EventKind::Reconnect && index >= event.at && deadOpen_ == 0) deadOpen_ = opened;
        }
        ++readsSinceOpen_;
        if (Tracing()) {
            std::fprintf(stderr, "     read %ld by open %d: %s %dx%d, %d channels\n", index, opened,
                         outcome.throws ? "throws" : outcome.delivers ? "frame" : "missed",
                         FrameSizes[outcome.sizeIndex].width,
                         FrameSizes[outcome.sizeIndex].height, outcome.channels);
        }
        if (outcome.throws) CV_Error(cv::Error::StsError, "scripted camera backend failure");
        if (!outcome.delivers) return false;
        const FrameSize size = FrameSizes[outcome.sizeIndex];
        const int offsetX = static_cast<int>((index * stepX_) % (TexturePad + 1));
        const int offsetY = static_cast<int>((index * stepY_) % (TexturePad + 1));
        const cv::Mat window = TextureFor(outcome.sizeIndex)(cv::Rect(offsetX, offsetY, size.width, size.height));
        switch (outcome.channels) {
            case 1: cv::cvtColor(window, frame, cv::COLOR_BGR2GRAY); break;
            case 4: cv::cvtColor(window, frame, cv::COLOR_BGR2BGRA); break;
            case 2: cv::cvtColor(window, frame, cv::COLOR_BGR2BGR565); break;
            case SixteenBitFrame: window.convertTo(frame, CV_16UC3, 256.0); break;
            default: window.copyTo(frame); break;
        }
        window.copyTo(lastServedBgr_);
        if (outcome.channels == 1) {
            // What the library will see after its own grey-to-BGR conversion.
            cv::Mat grey;
            cv::cvtColor(window, grey, cv::COLOR_BGR2GRAY);
            cv::cvtColor(grey, lastServedBgr_, cv::COLOR_GRAY2BGR);
        }
        return true;
    }

    const cv::Mat& LastServedBgr() const { return lastServedBgr_; }

private:
    const ScriptedCamera* camera_ = nullptr;
    int sizeIndex_ = 0;
    int channels_ = 3;
    int stepX_ = 0, stepY_ = 0;
    std::vector<Event> events_;
    int deadOpen_ = 0;  // open number that a reconnect event cut off; 0: none yet
    int lastOpen_ = 0;
    long readsSinceOpen_ = 0;
    cv::Mat lastServedBgr_;
};

// ------------------------------------------------------------------- notices

struct NoticeCounts {
    int cameraNotOpened = 0;
    int noFirstFrame = 0;
    int other = 0;
};
NoticeCounts noticesSeen;

void CountNotice(const char* caption, const char* text) {
    if (std::strcmp(caption, "Error") != 0) {
        ++noticesSeen.other;
    } else if (std::strcmp(text, "Could not initialize camera.") == 0) {
        ++noticesSeen.cameraNotOpened;
    } else if (std::strcmp(text, "Could not capture camera frame.") == 0) {
        ++noticesSeen.noFirstFrame;
    } else {
        ++noticesSeen.other;
    }
}

// ------------------------------------------------------------ save file names

struct SaveName {
    std::string path;
    bool canSucceed;  // written when a frame is at hand
};

const fs::path& SaveFolder() {
    static const fs::path folder = [] {
        const fs::path path = fs::temp_directory_path() / ("torvane-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(path);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(SaveFolder(), ignored);
        });
        return path;
    }();
    return folder;
}

const std::vector<SaveName>& SaveNames() {
    static const std::vector<SaveName> names = [] {
        const fs::path& folder = SaveFolder();
        return std::vector<SaveName>{
            {"", false},
            {(folder / "no-extension").string(), false},
            {(folder / "frame.xyz").string(), false},
            {(folder / (std::string(300, 'n') + ".png")).string(), false},
            {(folder / "missing-folder" / "frame.png").string(), false},
            {(folder / "dotted.folder" / "frame").string(), false},
            {(folder / "frame.png").string(), true},
            {(folder / "frame.bmp").string(), true},
            {(folder / "frame.jpg").string(), true},
            {(folder / "FRAME.PNG").string(), true},
        };
    }();
    return names;
}

// --------------------------------------------------------------- the model

// The library's observable state as the header's table describes it.
struct Model {
    bool cameraOpen = false;
    bool framePresent = false;   // the last fetch delivered a frame
    int width = 0, height = 0;   // size of the working images; 0 without them
    int openAttempts = 0;
    int32_t mode = 0;
    bool flip = false;
    // The picture IsColor samples, kept from the frames the camera served:
    // black when the working images are (re)created, then a copy of every frame
    // (mirrored when asked) fetched in modes 0 and 1. Empty without images.
    cv::Mat keptPicture;
    int expectedNotOpened = 0;
    int expectedNoFirstFrame = 0;
    std::array<bool, torvane::MaxObjects> live{};
    std::array<float, torvane::MaxObjects> x{}, y{};
};

// The nearest float, with IEEE round-to-nearest overflow to infinity.
float NearestFloatOf(double value) {
    const double largest = std::numeric_limits<float>::max();
    if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
    const double halfwayToInfinity = 3.4028235677973366e38;  // 2^128 - 2^103
    if (std::fabs(value) >= halfwayToInfinity) return std::signbit(value) ? -INFINITY : INFINITY;
    if (std::fabs(value) > largest) return std::signbit(value) ? -std::numeric_limits<float>::max()
                                                                : std::numeric_limits<float>::max();
    return static_cast<float>(value);
}

// The header: reals naming a pixel or an id are tested as reals, then truncated.
bool IndexFromReal(double value, int limit, int& index) {
    if (!(value >= 0.0 && value < static_cast<double>(limit))) return false;
    index = static_cast<int>(std::trunc(value));
    return true;
}

// Truncated toward zero to 64 bits, low 32 bits kept; NaN and reals beyond 64 bits give 0.
uint32_t Low32BitsFromReal(double value) {
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(value)));
}

int32_t ModeFromReal(double value) { return static_cast<int32_t>(Low32BitsFromReal(value)); }

// ----------------------------------------------------------------- the run

class SequenceRun {
public:
    SequenceRun(ByteReader& input, CameraScript& script, ScriptedCamera& camera)
        : input_(input), script_(script), camera_(camera) {}

    void Run() {
        for (call_ = 0; call_ < MaxCalls && !input_.Empty(); ++call_) {
            Step(input_.Byte() % 32);
            CheckState();
        }
        Expect("UnloadCam", Call([] { return UnloadCam(); }), 1.0);
        CloseModel();
        CheckState();
    }

private:
    template <typename Body>
    double Call(Body&& body) {
        try {
            const double answer = body();
            if (Tracing()) {
                std::fprintf(stderr, "%4d %-18s -> %.17g  [open %d frame %d %dx%d mode %d flip %d objects %d]\n", call_,
                             current_, answer, model_.cameraOpen, model_.framePresent, model_.width, model_.height,
                             model_.mode, model_.flip, cameraState.objects.objectCount);
            }
            return answer;
        } catch (...) {
            Fail("call %d (%s): an exception escaped the export", call_, current_);
        }
    }

    void Expect(const char* name, double got, double expected) {
        if (!SameReal(got, expected)) Fail("call %d %s: answered %.17g, expected %.17g", call_, name, got, expected);
    }

    // ---- arguments

    double Special() {
        const double w = model_.width, h = model_.height;
        const double table[] = {NaN, -NaN, Inf, -Inf, 0.0, -0.0, 0.5, -0.5, 0.99, 2.9, -1.5, 255.0, 256.0,
                                2147483648.0, 4294967296.0, 9007199254740992.0, 9223372036854775808.0,
                                18446744073709551616.0, 1e300, -1e300, std::numeric_limits<double>::denorm_min(),
                                w - 1, w, w - 0.5, h, h - 1, h - 0.5, 16777215.0, 16777216.0};
        return table[input_.Byte() % std::size(table)];
    }

    double Real() {
        const uint8_t pick = input_.Byte();
        if (pick & 1) return Special();
        switch ((pick >> 1) & 3) {
            case 0: return input_.RawDouble();
            case 1: return static_cast<int16_t>(input_.U16()) / 4.0;
            case 2: return input_.U16() % 700 + input_.Byte() / 256.0;
            default: return static_cast<double>(input_.RawFloat());
        }
    }

    double Id() {
        const uint8_t pick = input_.Byte();
        if (pick & 1) return Special();
        switch ((pick >> 1) & 3) {
            case 0: return input_.Byte();
            case 1: return input_.Byte() + input_.Byte() / 256.0;
            case 2: return SomeLiveId(input_.Byte());
            default: return input_.RawDouble();
        }
    }

    // A live id, when there is one: most object calls should reach an object.
    HARNESS_BOOKKEEPING double SomeLiveId(int wanted) const {
        const int live = LiveCount();
        int seen = 0;
        for (int id = 0; id < torvane::MaxObjects; ++id) {
            if (model_.live[id] && seen++ == wanted % std::max(1, live)) return id;
        }
        return wanted;
    }

    double ModeArgument() {
        const uint8_t pick = input_.Byte();
        if (pick & 1) return Special();
        const double modes[] = {0.0, 1.0, 2.0, 7.0, 0.0, 1.0, 2.0, -1.0, 3.0, 4294967298.0, 1.5, 2.99};
        if ((pick >> 1) % 8 == 7) return input_.RawDouble();
        return modes[input_.Byte() % std::size(modes)];
    }

    double Colour() {
        const uint8_t pick = input_.Byte();
        if (pick & 1) return Special();
        if (pick & 2) return static_cast<double>(input_.U32() & 0xFFFFFFu);
        return Real();
    }

    HARNESS_BOOKKEEPING int LiveCount() const {
        return static_cast<int>(std::count(model_.live.begin(), model_.live.end(), true));
    }

    // ---- the calls

    void Step(int pick) {
        switch (pick) {
            case 0: return DoInitCam();
            case 1: case 2: case 3: case 4: return DoUpdateFrame();
            case 5: return DoSaveFrame();
            case 6: return DoUnloadCam();
            case 7: return DoSize();
            case 8: return DoToggleFlip();
            case 9: case 10: return DoSetMode();
            case 11: case 12: case 13: return DoIsMotion();
            case 14: case 15: return DoIsColor();
            case 16: case 17: case 18: return DoObjectAdd(Real(), Real());
            case 19: case 20: return DoObjectSetPosition();
            case 21: case 22: return DoObjectGet(true);
            case 23: case 24: return DoObjectGet(false);
            case 25: case 26: case 27: return DoObjectDelete();
            case 28: return DoFillTable();
            case 29: return DoInitCam();
            case 30: return DoUpdateFrame();
            default: return DoIsMotion();
        }
    }

    void DoInitCam() {
        current_ = "InitCam";
        const int attempt = model_.openAttempts;
        const bool opens = script_.CanOpen(attempt);
        const ReadOutcome read = script_.NextRead(true);
        // Starting on a large frame creates every working image: capped like large updates.
        const FrameSize first = FrameSizes[read.sizeIndex];
        if (opens && read.Usable() && first.width * first.height > LargeFrameArea &&
            largeUpdates_++ >= MaxLargeFrameUpdates) {
            return;
        }
        ++model_.openAttempts;
        camera_.SetCanOpen(opens);
        const double got = Call([] { return InitCam(); });
        // InitCam always closes first: no working images survive a failure.
        model_.width = model_.height = 0;
        model_.framePresent = false;
        model_.keptPicture = cv::Mat();
        model_.cameraOpen = opens;
        if (!opens) {
            ++model_.expectedNotOpened;
            Expect("InitCam (no camera)", got, 0.0);
            return;
        }
        if (!read.Usable()) {
            ++model_.expectedNoFirstFrame;
            Expect("InitCam (no first frame)", got, 0.0);
            return;
        }
        Expect("InitCam", got, 1.0);
        model_.framePresent = true;
        model_.width = FrameSizes[read.sizeIndex].width;
        model_.height = FrameSizes[read.sizeIndex].height;
        model_.keptPicture = cv::Mat::zeros(model_.height, model_.width, CV_8UC3);
        model_.live.fill(false);
        fieldChanged_ = true;
        CheckFrameIsLastServed(false);  // mirroring starts with the next update
        CheckFieldIsZero("after InitCam");
        ProbeEdges();
    }

    void DoUpdateFrame() {
        current_ = "UpdateFrame";
        const ReadOutcome read = model_.cameraOpen ? script_.NextRead(false) : ReadOutcome{};
        const FrameSize size = FrameSizes[read.sizeIndex];
        const bool large = read.Usable() && size.width * size.height > LargeFrameArea;
        if (large) {
            const bool expensive = model_.mode == torvane::ModeMotion || model_.mode == torvane::ModeTrack;
            if (largeUpdates_ >= MaxLargeFrameUpdates || (expensive && expensiveUpdates_ >= MaxExpensiveUpdates)) return;
            ++largeUpdates_;
            if (expensive) ++expensiveUpdates_;
        }

        // Everything an update may or may not touch, as it stands before.
        const cv::Mat keptBefore = cameraState.images.keptFrame.clone();
        const cv::Mat flowXBefore = cameraState.images.flowX.clone();
        const cv::Mat flowYBefore = cameraState.images.flowY.clone();
        const Model objectsBefore = model_;
        const bool tracks = cameraState.images.grayHistory == torvane::GrayHistory::TrackGray &&
                            cameraState.objects.objectCount > 0;
        const long readsBefore = camera_.FramesRead();

        const double got = Call([] { return UpdateFrame(); });

        if (!model_.cameraOpen) {
            Expect("UpdateFrame (camera closed)", got, 0.0);
            if (camera_.FramesRead() != readsBefore) Fail("call %d UpdateFrame: read from a closed camera", call_);
            return;
        }
        if (!read.Usable()) {
            Expect("UpdateFrame (missed frame)", got, 0.0);
            model_.framePresent = false;
            ProbeEdges();
            // Nothing is processed on a missed frame.
            CheckUnchanged("kept frame after a missed frame", keptBefore, cameraState.images.keptFrame);
            CheckUnchanged("flowX after a missed frame", flowXBefore, cameraState.images.flowX);
            CheckUnchanged("flowY after a missed frame", flowYBefore, cameraState.images.flowY);
            return;
        }
        Expect("UpdateFrame", got, 1.0);
        model_.framePresent = true;
        const bool resized = size.width != model_.width || size.height != model_.height;
        model_.width = size.width;
        model_.height = size.height;
        if (resized) model_.keptPicture = cv::Mat::zeros(model_.height, model_.width, CV_8UC3);
        if (model_.mode == torvane::ModeMotion || model_.mode == torvane::ModeCopy) {
            script_.LastServedBgr().copyTo(model_.keptPicture);
            if (model_.flip) cv::flip(model_.keptPicture, model_.keptPicture, 1);
        }
        fieldChanged_ = true;
        CheckFrameIsLastServed(model_.flip);
        const bool refreshesKept = model_.mode == torvane::ModeMotion || model_.mode == torvane::ModeCopy;
        if (refreshesKept) {
            CheckUnchanged("kept frame after an update that refreshes it", cameraState.camera.frame,
                           cameraState.images.keptFrame);
        } else if (resized) {
            CheckAllZero("kept frame after a size change", cameraState.images.keptFrame);
        } else {
            CheckUnchanged("kept frame in a mode that leaves it", keptBefore, cameraState.images.keptFrame);
        }
        if (resized) {
            CheckFieldIsZero("after a size change");
        } else if (model_.mode != torvane::ModeMotion) {
            CheckUnchanged("flowX outside motion mode", flowXBefore, cameraState.images.flowX);
            CheckUnchanged("flowY outside motion mode", flowYBefore, cameraState.images.flowY);
        }
        if (model_.mode == torvane::ModeTrack && tracks && !resized) {
            AdoptTrackedPositions(objectsBefore);
        }
        ProbeEdges();
    }

    void DoSaveFrame() {
        current_ = "SaveFrame";
        const uint8_t pick = input_.Byte();
        const auto& names = SaveNames();
        if (pick % (names.size() + 1) == names.size()) {
            Expect("SaveFrame(nullptr)", Call([] { return SaveFrame(nullptr); }), 0.0);
            return;
        }
        const SaveName& name = names[pick % (names.size() + 1)];
        const bool writes = name.canSucceed && model_.framePresent;
        if (writes && model_.width * model_.height > LargeFrameArea && largeSaves_++ >= MaxLargeFrameSaves) return;
        std::error_code ignored;
        fs::remove(name.path, ignored);
        const double got = Call([&name] { return SaveFrame(name.path.c_str()); });
        Expect(writes ? "SaveFrame (frame at hand)" : "SaveFrame (refused)", got, writes ? 1.0 : 0.0);
        if (writes && !(fs::exists(name.path, ignored) && fs::file_size(name.path, ignored) > 0)) {
            Fail("call %d SaveFrame: reported 1 but wrote nothing to %s", call_, name.path.c_str());
        }
        if (!writes && !name.path.empty() && fs::exists(name.path, ignored) && !fs::is_directory(name.path, ignored)) {
            Fail("call %d SaveFrame: reported 0 but left %s", call_, name.path.c_str());
        }
    }

    void DoUnloadCam() {
        current_ = "UnloadCam";
        Expect("UnloadCam", Call([] { return UnloadCam(); }), 1.0);
        CloseModel();
    }

    void CloseModel() {
        model_.cameraOpen = false;
        model_.framePresent = false;
        model_.width = model_.height = 0;
        model_.keptPicture = cv::Mat();
    }

    void DoSize() {
        current_ = "GetWidth/GetHeight";
        Expect("GetWidth", Call([] { return GetWidth(); }), model_.framePresent ? model_.width : 0.0);
        Expect("GetHeight", Call([] { return GetHeight(); }), model_.framePresent ? model_.height : 0.0);
    }

    void DoToggleFlip() {
        current_ = "ToggleFlip";
        Expect("ToggleFlip", Call([] { return ToggleFlip(); }), 1.0);
        model_.flip = !model_.flip;
    }

    void DoSetMode() {
        current_ = "SetMode";
        const double mode = ModeArgument();
        Expect("SetMode", Call([mode] { return SetMode(mode); }), 1.0);
        model_.mode = ModeFromReal(mode);
        if (cameraState.settings.mode != model_.mode) {
            Fail("call %d SetMode(%.17g): mode %d stored, expected %d", call_, mode, cameraState.settings.mode,
                 model_.mode);
        }
    }

    void DoIsMotion() {
        const double x = Real(), y = Real();
        CheckIsMotion(x, y);
    }

    void CheckIsMotion(double x, double y) {
        current_ = "IsMotion";
        const double got = Call([x, y] { return IsMotion(x, y); });
        int ix = 0, iy = 0;
        if (!IndexFromReal(x, model_.width, ix) || !IndexFromReal(y, model_.height, iy)) {
            if (got != 0.0) Fail("call %d IsMotion(%.17g, %.17g) outside the picture answered %.17g", call_, x, y, got);
            return;
        }
        if (!(got >= 0.0) || got != std::floor(got)) {
            Fail("call %d IsMotion(%.17g, %.17g) answered %.17g: not a whole number >= 0", call_, x, y, got);
        }
        const double vx = cameraState.images.flowX.at<float>(iy, ix);
        const double vy = cameraState.images.flowY.at<float>(iy, ix);
        const double expected = std::floor(std::sqrt(vx * vx + vy * vy));
        if (got != expected) {
            Fail("call %d IsMotion(%.17g, %.17g): answered %.17g, field gives %.17g", call_, x, y, got, expected);
        }
    }

    void DoIsColor() {
        const double x = Real(), y = Real(), colour = Colour();
        CheckIsColor(x, y, colour);
    }

    // Both probes just inside and just outside every edge, after every update:
    // an off-by-one in a bounds test shows here without waiting for the fuzzer
    // to pair the picture's size with a coordinate.
    void ProbeEdges() {
        const double w = model_.width, h = model_.height;
        const double rows[] = {0, std::floor(h / 2), h - 1, h - 2};
        const double columns[] = {0, std::floor(w / 2), w - 1, w - 2};
        // Probe colours whose channels all differ, so that a swapped channel shows.
        for (const double y : rows) {
            for (const double x : {w, w - 0.5, w - 1, -0.5}) {
                CheckIsMotion(x, y);
                CheckIsColor(x, y, 0x3C8AD2);
            }
        }
        for (const double x : columns) {
            for (const double y : {h, h - 0.5, -0.5}) {
                CheckIsMotion(x, y);
                CheckIsColor(x, y, 0xD2148A);
            }
        }
        CheckIsMotion(w, h);
        CheckIsColor(w, h, 0);
    }

    void CheckIsColor(double x, double y, double colour) {
        current_ = "IsColor";
        const double got = Call([x, y, colour] { return IsColor(x, y, colour); });
        int ix = 0, iy = 0;
        if (!IndexFromReal(x, model_.width, ix) || !IndexFromReal(y, model_.height, iy)) {
            if (got != -1.0) Fail("call %d IsColor(%.17g, %.17g) outside the picture answered %.17g", call_, x, y, got);
            return;
        }
        if (!(got >= 0.0) || !std::isfinite(got)) {
            Fail("call %d IsColor(%.17g, %.17g, %.17g) answered %.17g", call_, x, y, colour, got);
        }
        // Red in bits 0-7, green in 8-15, blue every bit from 16 up, unmasked.
        const uint32_t packed = Low32BitsFromReal(colour);
        const cv::Vec3b pixel = model_.keptPicture.at<cv::Vec3b>(iy, ix);
        const double red = static_cast<double>(packed & 0xFF) - pixel[2];
        const double green = static_cast<double>((packed >> 8) & 0xFF) - pixel[1];
        const double blue = static_cast<double>(packed >> 16) - pixel[0];
        const double expected = std::sqrt(red * red + green * green + blue * blue);
        if (got != expected) {
            Fail("call %d IsColor(%.17g, %.17g, %.17g): answered %.17g, the frames served give %.17g", call_, x, y,
                 colour, got, expected);
        }
    }

    HARNESS_BOOKKEEPING int LowestFreeId() const {
        for (int id = 0; id < torvane::MaxObjects; ++id) {
            if (!model_.live[id]) return id;
        }
        return -1;
    }

    void DoObjectAdd(double x, double y) {
        current_ = "ObjectAdd";
        const double got = Call([x, y] { return ObjectAdd(x, y); });
        const int expected = LowestFreeId();
        Expect("ObjectAdd", got, expected);
        if (expected < 0) return;
        model_.live[expected] = true;
        model_.x[expected] = NearestFloatOf(x);
        model_.y[expected] = NearestFloatOf(y);
    }

    // Adds objects until the table holds a given count: makes the full table,
    // and deletes from it, reachable in a short input.
    void DoFillTable() {
        const int target = 200 + input_.Byte() % 60;
        const double x = Real(), y = Real();
        for (int live = LiveCount(); live < target; ++live) {
            DoObjectAdd(x + live, y - live);
        }
    }

    // The live object an id names, or -1 when the header says it is refused.
    int LiveIdFromReal(double id) const {
        int index = 0;
        if (!IndexFromReal(id, torvane::MaxObjects, index) || !model_.live[index]) return -1;
        return index;
    }

    void DoObjectSetPosition() {
        current_ = "ObjectSetPosition";
        const double id = Id(), x = Real(), y = Real();
        const double got = Call([id, x, y] { return ObjectSetPosition(id, x, y); });
        const int live = LiveIdFromReal(id);
        Expect("ObjectSetPosition", got, live < 0 ? -1.0 : 0.0);
        if (live < 0) return;
        model_.x[live] = NearestFloatOf(x);
        model_.y[live] = NearestFloatOf(y);
    }

    void DoObjectGet(bool wantX) {
        current_ = wantX ? "ObjectGetX" : "ObjectGetY";
        const double id = Id();
        const double got = Call([id, wantX] { return wantX ? ObjectGetX(id) : ObjectGetY(id); });
        const int live = LiveIdFromReal(id);
        const double expected = live < 0 ? -1.0 : static_cast<double>(wantX ? model_.x[live] : model_.y[live]);
        if (!SameReal(got, expected)) {
            Fail("call %d %s(%.17g): answered %.17g, expected %.17g", call_, current_, id, got, expected);
        }
    }

    void DoObjectDelete() {
        current_ = "ObjectDelete";
        const double id = Id();
        const double got = Call([id] { return ObjectDelete(id); });
        const int live = LiveIdFromReal(id);
        if (!SameReal(got, live < 0 ? -1.0 : 0.0)) {
            Fail("call %d ObjectDelete(%.17g): answered %.17g, expected %d", call_, id, got, live < 0 ? -1 : 0);
        }
        if (live >= 0) model_.live[live] = false;
    }

    // ---- checks

    void AdoptTrackedPositions(const Model& before) {
        const auto& objects = cameraState.objects;
        for (int id = 0; id < torvane::MaxObjects; ++id) {
            if (!model_.live[id] || objects.slotTable[id] == torvane::FreeSlot) continue;
            const cv::Point2f point = objects.pointsCurrent[objects.slotTable[id]];
            if (std::isfinite(before.x[id]) && std::isfinite(before.y[id]) &&
                !(std::isfinite(point.x) && std::isfinite(point.y))) {
                Fail("call %d UpdateFrame: tracking turned object %d at (%g, %g) into (%g, %g)", call_, id,
                     static_cast<double>(before.x[id]), static_cast<double>(before.y[id]),
                     static_cast<double>(point.x), static_cast<double>(point.y));
            }
            model_.x[id] = point.x;
            model_.y[id] = point.y;
        }
    }

    void CheckFrameIsLastServed(bool mirrored) {
        cv::Mat expected = script_.LastServedBgr().clone();
        if (mirrored) cv::flip(expected, expected, 1);
        const cv::Mat& frame = cameraState.camera.frame;
        if (frame.type() != CV_8UC3 || frame.size() != expected.size() || cv::norm(frame, expected, cv::NORM_INF) != 0) {
            Fail("call %d %s: the current frame is not the camera's frame%s", call_, current_,
                 mirrored ? " mirrored" : "");
        }
    }

    void CheckUnchanged(const char* what, const cv::Mat& before, const cv::Mat& after) {
        if (before.empty() && after.empty()) return;
        if (before.size() != after.size() || before.type() != after.type() ||
            (!before.empty() && cv::norm(before, after, cv::NORM_INF) != 0)) {
            Fail("call %d %s: %s changed", call_, current_, what);
        }
    }

    void CheckAllZero(const char* what, const cv::Mat& image) {
        if (image.empty() || cv::norm(image, cv::NORM_INF) != 0) Fail("call %d %s: %s not blank", call_, current_, what);
    }

    void CheckFieldIsZero(const char* when) {
        CheckAllZero(when, cameraState.images.flowX);
        CheckAllZero(when, cameraState.images.flowY);
    }

    // The table's and the images' invariants, and the model's agreement with
    // the table, after every call.
    HARNESS_BOOKKEEPING void CheckState() {
        const auto& objects = cameraState.objects;
        const int count = objects.objectCount;
        if (count < 0 || count > torvane::MaxObjects) Fail("call %d %s: objectCount %d", call_, current_, count);
        if (objects.searchStart < 0 || objects.searchStart > torvane::MaxObjects) {
            Fail("call %d %s: searchStart %d", call_, current_, objects.searchStart);
        }
        const bool buffersDistinct =
            (objects.pointsCurrent == objects.pointBuffers[0] && objects.pointsPrevious == objects.pointBuffers[1]) ||
            (objects.pointsCurrent == objects.pointBuffers[1] && objects.pointsPrevious == objects.pointBuffers[0]);
        if (!buffersDistinct) Fail("call %d %s: point buffers no longer the two stores", call_, current_);
        std::array<int, torvane::MaxObjects> namedBy{};
        int slotsInUse = 0;
        for (int id = 0; id < torvane::MaxObjects; ++id) {
            const int16_t slot = objects.slotTable[id];
            if (slot == torvane::FreeSlot) {
                if (id < objects.searchStart) Fail("call %d %s: slot %d below searchStart %d is free", call_, current_, id, objects.searchStart);
                if (model_.live[id]) Fail("call %d %s: object %d vanished", call_, current_, id);
                continue;
            }
            if (slot < 0 || slot >= count) Fail("call %d %s: slot %d names point %d of %d", call_, current_, id, slot, count);
            ++namedBy[slot];
            ++slotsInUse;
            if (!model_.live[id]) Fail("call %d %s: id %d is in use but was never handed out", call_, current_, id);
            const cv::Point2f point = objects.pointsCurrent[slot];
            if (!SameReal(point.x, model_.x[id]) || !SameReal(point.y, model_.y[id])) {
                Fail("call %d %s: object %d is at (%.9g, %.9g), expected (%.9g, %.9g)", call_, current_, id,
                     static_cast<double>(point.x), static_cast<double>(point.y), static_cast<double>(model_.x[id]),
                     static_cast<double>(model_.y[id]));
            }
        }
        if (slotsInUse != count) Fail("call %d %s: %d slots in use, objectCount %d", call_, current_, slotsInUse, count);
        for (int point = 0; point < count; ++point) {
            if (namedBy[point] != 1) Fail("call %d %s: point %d named by %d slots", call_, current_, point, namedBy[point]);
        }

        // Camera and images.
        const auto& camera = cameraState.camera;
        if (camera.frameWidth != model_.width || camera.frameHeight != model_.height) {
            Fail("call %d %s: working size %dx%d, expected %dx%d", call_, current_, camera.frameWidth,
                 camera.frameHeight, model_.width, model_.height);
        }
        if (camera_.OpenSources() != (model_.cameraOpen ? 1 : 0)) {
            Fail("call %d %s: %d cameras open, expected %d", call_, current_, camera_.OpenSources(),
                 model_.cameraOpen ? 1 : 0);
        }
        if (model_.framePresent != !camera.frame.empty()) Fail("call %d %s: frame presence differs", call_, current_);
        const auto& images = cameraState.images;
        for (const cv::Mat* image : {&images.keptFrame, &images.flowX, &images.flowY, &images.grayCurrent, &images.grayPrevious}) {
            if (model_.width == 0 ? !image->empty() : (image->cols != model_.width || image->rows != model_.height)) {
                Fail("call %d %s: a working image is %dx%d with working size %dx%d", call_, current_, image->cols,
                     image->rows, model_.width, model_.height);
            }
        }
        // The field changes only on updates: scanning it after every call would cost more than the calls.
        if (fieldChanged_ && !images.flowX.empty() && (!cv::checkRange(images.flowX) || !cv::checkRange(images.flowY))) {
            Fail("call %d %s: the motion field holds NaN or infinity", call_, current_);
        }
        fieldChanged_ = false;
        if (noticesSeen.cameraNotOpened != model_.expectedNotOpened ||
            noticesSeen.noFirstFrame != model_.expectedNoFirstFrame || noticesSeen.other != 0) {
            Fail("call %d %s: notices %d/%d/%d, expected %d/%d/0", call_, current_, noticesSeen.cameraNotOpened,
                 noticesSeen.noFirstFrame, noticesSeen.other, model_.expectedNotOpened, model_.expectedNoFirstFrame);
        }
    }

    ByteReader& input_;
    CameraScript& script_;
    ScriptedCamera& camera_;
    Model model_;
    int call_ = 0;
    const char* current_ = "start";
    int expensiveUpdates_ = 0;
    int largeUpdates_ = 0;
    int largeSaves_ = 0;
    bool fieldChanged_ = false;
};

void ResetLibrary() {
    UnloadCam();
    torvane::ClearObjectTable();
    cameraState.settings = torvane::CameraState::Settings{};
    noticesSeen = NoticeCounts{};
    torvane::SetNoticeHandler(&CountNotice);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetLibrary();
    ByteReader input(data, size);
    CameraScript script(input);
    {
        ScriptedCamera camera([&script](long index, cv::Mat& frame) { return script.Produce(index, frame); });
        script.Attach(&camera);
        SequenceRun(input, script, camera).Run();
        if (camera.OpenSources() != 0) Fail("a camera is still open after UnloadCam");
    }
    ResetLibrary();
    return 0;
}

#if defined(TORVANE_LIBFUZZER)

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One core: the fuzzer runs beside other work.
    cv::setNumThreads(1);
    return 0;
}

#else

// Replays every input file named, or found under a folder named, in a fixed order.
int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path given(argv[i]);
        if (fs::is_directory(given)) {
            for (const auto& entry : fs::recursive_directory_iterator(given)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else if (fs::is_regular_file(given)) {
            files.push_back(given);
        } else {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 2;
    }
    for (const fs::path& file : files) {
        std::ifstream stream(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.filename().c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}

#endif
