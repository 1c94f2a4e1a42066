// The tracked-object table, driven through the exported calls: ids handed out,
// refused and reused, points kept packed, coordinates stored as 32-bit floats,
// and the table's life across camera calls. After every call the table is
// checked against its invariants and against a plain model of what each id holds.
#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "library_fixture.hpp"
#include "scripted_camera.hpp"

namespace torvane::testing {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr float FloatInf = std::numeric_limits<float>::infinity();

// Same value, or both NaN; zeros must agree in sign too.
bool SameReal(double actual, double expected) {
    if (std::isnan(expected)) return std::isnan(actual);
    return actual == expected && std::signbit(actual) == std::signbit(expected);
}

enum class Call { Add, SetPosition, GetX, GetY, Delete };

struct Step {
    Call call;
    double id = 0;       // SetPosition, GetX, GetY, Delete
    double x = 0, y = 0; // Add, SetPosition: the reals passed
    float storedX = 0, storedY = 0;  // Add, SetPosition: the floats the table must hold
    double answer = 0;   // what the call must return
    // Checked after the call when given:
    std::vector<std::pair<int, int>> pointIndexOf = {};  // object id -> index of its point
    int objectCount = -1;
    int searchStart = -1;
};

// Ordinary coordinates, exactly representable or plainly in float range.
Step Add(double x, double y, double answer) {
    return {Call::Add, 0, x, y, static_cast<float>(x), static_cast<float>(y), answer};
}
Step AddStored(double x, double y, float storedX, float storedY, double answer) {
    return {Call::Add, 0, x, y, storedX, storedY, answer};
}
Step SetPosition(double id, double x, double y, double answer) {
    return {Call::SetPosition, id, x, y, static_cast<float>(x), static_cast<float>(y), answer};
}
Step SetStored(double id, double x, double y, float storedX, float storedY, double answer) {
    return {Call::SetPosition, id, x, y, storedX, storedY, answer};
}
Step GetX(double id, double answer) { return {Call::GetX, id, 0, 0, 0, 0, answer}; }
Step GetY(double id, double answer) { return {Call::GetY, id, 0, 0, 0, 0, answer}; }
Step Delete(double id, double answer) { return {Call::Delete, id, 0, 0, 0, 0, answer}; }
Step With(Step step, std::vector<std::pair<int, int>> pointIndexOf, int objectCount, int searchStart) {
    step.pointIndexOf = std::move(pointIndexOf);
    step.objectCount = objectCount;
    step.searchStart = searchStart;
    return step;
}

struct Sequence {
    std::string name;
    std::vector<Step> steps;
};

// Every id call with an id that names no object: refused, nothing changes.
void AppendRefusedIds(std::vector<Step>& steps, const std::vector<double>& ids) {
    for (const double id : ids) {
        steps.push_back(SetPosition(id, 1, 2, -1));
        steps.push_back(GetX(id, -1));
        steps.push_back(GetY(id, -1));
        steps.push_back(Delete(id, -1));
    }
}

// The position object `i` of a full table is added at: distinct and exact.
double FullX(int i) { return i + 0.25; }
double FullY(int i) { return 1000.0 - 0.5 * i; }

std::vector<Step> FillTable() {
    std::vector<Step> steps;
    for (int i = 0; i < MaxObjects; ++i) steps.push_back(Add(FullX(i), FullY(i), i));
    steps.back() = With(steps.back(), {{0, 0}, {255, 255}}, 256, 256);
    steps.push_back(With(Add(5, 5, -1), {}, 256, 256));
    return steps;
}

std::vector<Sequence> Sequences() {
    std::vector<Sequence> sequences;

    sequences.push_back({"delete in the middle, then at the front",
                         {
                             With(Add(10.25, 20.5, 0), {{0, 0}}, 1, 1),
                             With(Add(30.75, 40, 1), {{1, 1}}, 2, 2),
                             With(Add(50.5, 60.25, 2), {{2, 2}}, 3, 3),
                             With(Delete(1, 0), {{0, 0}, {2, 1}}, 2, 1),
                             With(Add(70, 80, 1), {{0, 0}, {2, 1}, {1, 2}}, 3, 2),
                             With(Delete(0, 0), {{2, 0}, {1, 1}}, 2, 0),
                             GetX(2, 50.5),
                             GetY(2, 60.25),
                             GetX(1, 70),
                             GetY(1, 80),
                             With(Add(90, 100, 0), {{2, 0}, {1, 1}, {0, 2}}, 3, 1),
                             With(Add(110, 120, 3), {{3, 3}}, 4, 4),
                         }});

    {
        std::vector<Step> steps = FillTable();
        steps.push_back(GetX(255.99, FullX(255)));
        steps.push_back(With(Delete(10, 0), {{9, 9}, {11, 10}, {255, 254}}, 255, 10));
        steps.push_back(With(Delete(255, 0), {{11, 10}, {254, 253}}, 254, 10));
        steps.push_back(With(Add(1, 2, 10), {{10, 254}}, 255, 11));
        steps.push_back(With(Add(3, 4, 255), {{255, 255}}, 256, 256));
        steps.push_back(With(Add(5, 6, -1), {}, 256, 256));
        sequences.push_back({"full table, delete 10 then 255, add again", steps});
    }
    {
        std::vector<Step> steps = FillTable();
        steps.push_back(With(Delete(255, 0), {{254, 254}}, 255, 255));
        steps.push_back(With(Delete(10, 0), {{11, 10}, {254, 253}}, 254, 10));
        steps.push_back(With(Add(1, 2, 10), {{10, 254}}, 255, 11));
        steps.push_back(With(Add(3, 4, 255), {{255, 255}}, 256, 256));
        steps.push_back(With(Add(5, 6, -1), {}, 256, 256));
        sequences.push_back({"full table, delete 255 then 10, add again", steps});
    }
    {
        std::vector<Step> steps = FillTable();
        // The first point leaves: all 255 others move down one place.
        steps.push_back(With(Delete(0, 0), {{1, 0}, {255, 254}}, 255, 0));
        steps.push_back(With(Add(7, 8, 0), {{0, 255}}, 256, 1));
        sequences.push_back({"full table, delete the first point", steps});
    }
    {
        std::vector<Step> steps = {Add(1, 2, 0), Add(3, 4, 1), Add(5, 6, 2)};
        AppendRefusedIds(steps, {-0.5, -1, NaN, -NaN, 256, 256.5, 1e300, Inf, -Inf, 3, 3.5, 255, 255.9});
        steps.push_back(With(SetPosition(0.5, 7, 8, 0), {{0, 0}}, 3, 3));
        steps.push_back(GetX(0.99, 7));
        steps.push_back(GetY(0.5, 8));
        steps.push_back(With(Delete(1.5, 0), {{0, 0}, {2, 1}}, 2, 1));
        // A freed id is refused by every call, and deleting it again moves no point.
        AppendRefusedIds(steps, {1, 1.25});
        steps.push_back(With(Delete(2.9, 0), {{0, 0}}, 1, 1));
        AppendRefusedIds(steps, {2});
        steps.push_back(With(Delete(-0.0, 0), {}, 0, 0));
        AppendRefusedIds(steps, {0, 0.5});
        sequences.push_back({"ids that name no object", steps});
    }

    constexpr float FloatMax = FLT_MAX;
    sequences.push_back({"coordinates stored as the nearest floats",
                         {
                             Add(0.1, 0.2, 0),
                             GetX(0, static_cast<double>(0.1f)),
                             GetY(0, static_cast<double>(0.2f)),
                             AddStored(NaN, Inf, std::numeric_limits<float>::quiet_NaN(), FloatInf, 1),
                             AddStored(1e300, -1e300, FloatInf, -FloatInf, 2),
                             // Just above the largest float but nearer to it than to 2^128, then beyond.
                             AddStored(3.40282350e38, -3.4028236e38, FloatMax, -FloatInf, 3),
                             AddStored(1e-50, -1e-50, 0.0f, -0.0f, 4),
                             AddStored(-Inf, 16777217.0, -FloatInf, 16777216.0f, 5),
                             SetStored(2, NaN, 1e300, std::numeric_limits<float>::quiet_NaN(), FloatInf, 0),
                             SetStored(1, 0.3, -1e40, 0.3f, -FloatInf, 0),
                             GetX(1, static_cast<double>(0.3f)),
                             GetY(2, Inf),
                             // Odd positions still move with their points when an earlier one leaves.
                             With(Delete(0, 0), {{1, 0}, {2, 1}, {5, 4}}, 5, 0),
                             GetY(3, -Inf),
                         }});
    return sequences;
}

// The table's storage, bit for bit: what a refused call must leave untouched.
struct TableSnapshot {
    std::array<int16_t, MaxObjects> slotTable;
    std::array<unsigned char, sizeof(cv::Point2f) * MaxObjects> currentPoints;
    int32_t objectCount;
    int32_t searchStart;

    static TableSnapshot Take() {
        const CameraState::Objects& objects = cameraState.objects;
        TableSnapshot snapshot{};
        std::memcpy(snapshot.slotTable.data(), objects.slotTable, sizeof objects.slotTable);
        std::memcpy(snapshot.currentPoints.data(), objects.pointsCurrent, snapshot.currentPoints.size());
        snapshot.objectCount = objects.objectCount;
        snapshot.searchStart = objects.searchStart;
        return snapshot;
    }
    bool operator==(const TableSnapshot& other) const {
        return slotTable == other.slotTable && currentPoints == other.currentPoints &&
               objectCount == other.objectCount && searchStart == other.searchStart;
    }
};

void ExpectTableInvariants() {
    const CameraState::Objects& objects = cameraState.objects;
    ASSERT_GE(objects.objectCount, 0);
    ASSERT_LE(objects.objectCount, MaxObjects);
    ASSERT_GE(objects.searchStart, 0);
    ASSERT_LE(objects.searchStart, MaxObjects);
    std::vector<int> namedBy(static_cast<size_t>(objects.objectCount), 0);
    int slotsInUse = 0;
    for (int id = 0; id < MaxObjects; ++id) {
        const int index = objects.slotTable[id];
        if (index == FreeSlot) {
            EXPECT_GE(id, objects.searchStart) << "free id " << id << " below searchStart";
            continue;
        }
        ASSERT_GE(index, 0) << "id " << id;
        ASSERT_LT(index, objects.objectCount) << "id " << id << " names a point past the live ones";
        ++namedBy[static_cast<size_t>(index)];
        ++slotsInUse;
    }
    EXPECT_EQ(slotsInUse, objects.objectCount);
    for (size_t index = 0; index < namedBy.size(); ++index) {
        EXPECT_EQ(namedBy[index], 1) << "point index " << index;
    }
}

// Every live id reads back what the model holds; every other id is refused.
void ExpectTableMatches(const std::map<int, std::pair<float, float>>& model) {
    for (int id = 0; id < MaxObjects; ++id) {
        const auto found = model.find(id);
        if (found == model.end()) {
            EXPECT_EQ(cameraState.objects.slotTable[id], FreeSlot) << "id " << id;
            EXPECT_EQ(ObjectGetX(id), -1.0) << "id " << id;
            continue;
        }
        EXPECT_NE(cameraState.objects.slotTable[id], FreeSlot) << "id " << id;
        EXPECT_PRED2(SameReal, ObjectGetX(id), static_cast<double>(found->second.first)) << "id " << id;
        EXPECT_PRED2(SameReal, ObjectGetY(id), static_cast<double>(found->second.second)) << "id " << id;
    }
}

double Perform(const Step& step) {
    switch (step.call) {
        case Call::Add: return ObjectAdd(step.x, step.y);
        case Call::SetPosition: return ObjectSetPosition(step.id, step.x, step.y);
        case Call::GetX: return ObjectGetX(step.id);
        case Call::GetY: return ObjectGetY(step.id);
        case Call::Delete: return ObjectDelete(step.id);
    }
    return NaN;
}

// The id a successful call acted on: its argument truncated, or what Add returned.
int ActedOn(const Step& step) { return step.call == Call::Add ? static_cast<int>(step.answer) : static_cast<int>(step.id); }

using ObjectTable = LibraryTest;

TEST_F(ObjectTable, SequencesKeepIdsPointsAndInvariants) {
    for (const Sequence& sequence : Sequences()) {
        SCOPED_TRACE(sequence.name);
        ResetLibrary();
        std::map<int, std::pair<float, float>> model;
        for (size_t stepNumber = 0; stepNumber < sequence.steps.size(); ++stepNumber) {
            const Step& step = sequence.steps[stepNumber];
            SCOPED_TRACE("step " + std::to_string(stepNumber));
            const TableSnapshot before = TableSnapshot::Take();
            const double answer = Perform(step);
            ASSERT_PRED2(SameReal, answer, step.answer);

            const bool refused = answer == -1.0 && step.call != Call::GetX && step.call != Call::GetY;
            const bool lookup = step.call == Call::GetX || step.call == Call::GetY;
            if (refused || lookup) {
                EXPECT_TRUE(TableSnapshot::Take() == before) << "a lookup or refused call changed the table";
            } else if (step.call == Call::Delete) {
                model.erase(ActedOn(step));
            } else {
                model[ActedOn(step)] = {step.storedX, step.storedY};
            }

            ASSERT_NO_FATAL_FAILURE(ExpectTableInvariants());
            ExpectTableMatches(model);
            const CameraState::Objects& objects = cameraState.objects;
            for (const auto& [id, pointIndex] : step.pointIndexOf) {
                EXPECT_EQ(objects.slotTable[id], pointIndex) << "id " << id;
            }
            if (step.objectCount >= 0) {
                EXPECT_EQ(objects.objectCount, step.objectCount);
            }
            if (step.searchStart >= 0) {
                EXPECT_EQ(objects.searchStart, step.searchStart);
            }
            if (HasFailure()) return;  // one broken step makes the rest of the walk noise
        }
    }
}

// An empty table: every slot free, no points, the search from id 0, zeroed buffers.
void ExpectEmpty(const CameraState::Objects& objects) {
    EXPECT_EQ(objects.objectCount, 0);
    EXPECT_EQ(objects.searchStart, 0);
    for (int id = 0; id < MaxObjects; ++id) ASSERT_EQ(objects.slotTable[id], FreeSlot) << "id " << id;
    EXPECT_EQ(objects.pointsCurrent, objects.pointBuffers[0]);
    EXPECT_EQ(objects.pointsPrevious, objects.pointBuffers[1]);
    for (const auto& buffer : objects.pointBuffers) {
        for (const cv::Point2f& point : buffer) ASSERT_TRUE(point.x == 0.0f && point.y == 0.0f);
    }
}

// A table that is neither empty nor simply packed: ids 0 and 2 live, 1 free.
void FillSparsely() {
    ASSERT_EQ(ObjectAdd(11, 12), 0.0);
    ASSERT_EQ(ObjectAdd(21, 22), 1.0);
    ASSERT_EQ(ObjectAdd(31, 32), 2.0);
    ASSERT_EQ(ObjectDelete(1), 0.0);
}

TEST_F(ObjectTable, StartsEmptyAndWorksWithoutACamera) {
    const auto fresh = std::make_unique<CameraState::Objects>();
    ExpectEmpty(*fresh);

    // No camera was ever opened: the table works all the same.
    ASSERT_NO_FATAL_FAILURE(FillSparsely());
    EXPECT_EQ(ObjectGetX(2), 31.0);
    EXPECT_EQ(ObjectSetPosition(0, 5, 6), 0.0);
    EXPECT_EQ(ObjectGetY(0), 6.0);
    UnloadCam();
    EXPECT_EQ(ObjectGetX(2), 31.0) << "UnloadCam keeps the table";
    EXPECT_EQ(ObjectAdd(1, 1), 1.0);
}

TEST_F(ObjectTable, SuccessfulInitCamEmptiesItAndAFailedOneKeepsIt) {
    ScriptedCamera camera({cv::Mat(), TexturedFrame(16, 12)});
    ASSERT_NO_FATAL_FAILURE(FillSparsely());
    // Stale points in the second buffer too, as a tracking step leaves them.
    cameraState.objects.pointBuffers[1][7] = cv::Point2f(3, 4);
    const TableSnapshot filled = TableSnapshot::Take();

    camera.SetCanOpen(false);
    EXPECT_EQ(InitCam(), 0.0);
    EXPECT_TRUE(TableSnapshot::Take() == filled) << "no camera";
    camera.SetCanOpen(true);
    EXPECT_EQ(InitCam(), 0.0);  // opens, but the first frame is missed
    EXPECT_TRUE(TableSnapshot::Take() == filled) << "no first frame";
    EXPECT_EQ(ObjectGetX(2), 31.0);

    ASSERT_EQ(InitCam(), 1.0);
    ExpectEmpty(cameraState.objects);
    EXPECT_EQ(ObjectGetX(0), -1.0);
    EXPECT_EQ(ObjectAdd(1, 2), 0.0);
}

}  // namespace
}  // namespace torvane::testing
