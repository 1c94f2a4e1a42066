// Counts heap allocations made by the whole process (operator new and the
// imaging library's aligned allocations alike) while a scope is active.
#pragma once

namespace torvane::testing {

class AllocationCount {
public:
    AllocationCount();   // starts counting from zero
    ~AllocationCount();
    long allocations() const;  // allocations since construction
};

}  // namespace torvane::testing
