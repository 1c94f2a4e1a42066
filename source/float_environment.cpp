#include "float_environment.hpp"

namespace torvane {

#if TORVANE_X86_FLOAT_STATE

namespace {

void StoreX87Environment(X87Environment& environment) {
    // fnstenv also masks every x87 exception; callers load a control word next.
    __asm__ __volatile__("fnstenv %0" : "=m"(environment) : : "memory");
}

void LoadX87Environment(const X87Environment& environment) {
    __asm__ __volatile__("fldenv %0" : : "m"(environment) : "memory");
}

void LoadMxcsr(uint32_t value) { __asm__ __volatile__("ldmxcsr %0" : : "m"(value) : "memory"); }

void LoadLibraryState() {
    const uint16_t control = LibraryX87Control;
    __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(control) : "memory");
    LoadMxcsr(LibraryMxcsr);
}

}  // namespace

void LibraryFloatScope::SwitchToLibraryState() noexcept {
    StoreX87Environment(savedX87_);
    LoadLibraryState();
}

void LibraryFloatScope::RestoreSavedState() noexcept {
    LoadMxcsr(savedMxcsr_);
    LoadX87Environment(savedX87_);
}

void LibraryFloatScope::RestoreX87Status() noexcept {
    // The control word stays as it is (the host's own, equal to the library's);
    // only the status word goes back to what the host had.
    X87Environment current;
    StoreX87Environment(current);
    current.status = (current.status & 0xFFFF0000u) | savedX87Status_;
    LoadX87Environment(current);
}

void LibraryFloatScope::RunUnderSavedState(void (*action)(void*), void* context) const {
    if (!switched_) {
        action(context);
        return;
    }
    const uint32_t libraryMxcsr = ReadMxcsr();
    X87Environment libraryX87;
    StoreX87Environment(libraryX87);
    LoadMxcsr(savedMxcsr_);
    LoadX87Environment(savedX87_);
    action(context);
    LoadMxcsr(libraryMxcsr);
    LoadX87Environment(libraryX87);
}

#else

void LibraryFloatScope::RunUnderSavedState(void (*action)(void*), void* context) const { action(context); }

#endif

const ExportedCallFloatScope* ExportedCallFloatScope::innermost_ = nullptr;

void ExportedCallFloatScope::RunUnderCallerState(void (*action)(void*), void* context) {
    if (innermost_) {
        innermost_->RunUnderSavedState(action, context);
    } else {
        action(context);
    }
}

}  // namespace torvane
