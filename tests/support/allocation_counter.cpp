// Replaces the C allocator's entry points for this test program and forwards
// them to glibc's own, counting while an AllocationCount is active. operator
// new and cv::fastMalloc both end up here.
#include "allocation_counter.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocationTotal{0};

inline void Count() {
    if (counting.load(std::memory_order_relaxed)) allocationTotal.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    Count();
    return __libc_realloc(pointer, size);
}
void free(void* pointer) { __libc_free(pointer); }
void* memalign(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) {
    Count();
    void* pointer = __libc_memalign(alignment, size);
    if (!pointer) return ENOMEM;
    *result = pointer;
    return 0;
}
}

namespace torvane::testing {

AllocationCount::AllocationCount() {
    allocationTotal = 0;
    counting = true;
}
AllocationCount::~AllocationCount() { counting = false; }
long AllocationCount::allocations() const { return allocationTotal.load(); }

}  // namespace torvane::testing
