/*
 * A Windows host program for Torvane.dll: loads it with LoadLibraryA, binds
 * the fifteen calls as double (__cdecl *)(...) and checks what a host sees:
 * the answers without a camera, the object table, special reals (also with
 * floating-point traps on), calls from misaligned stacks, unloading and
 * loading again, and the modal "Error" box that InitCam shows when there is
 * no camera, which a watcher thread reads and closes with OK.
 *
 * Usage: windows_host [path-to-Torvane.dll]
 * Prints one line per check and ends with "N passed, N failed"; the exit
 * status is 0 only when nothing failed.
 */
#include <windows.h>

#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef double(__cdecl *Call0)(void);
typedef double(__cdecl *CallText)(const char *);
typedef double(__cdecl *Call1)(double);
typedef double(__cdecl *Call2)(double, double);
typedef double(__cdecl *Call3)(double, double, double);
/* Any of the calls through the widest type: the caller cleans the stack, so
 * extra arguments are harmless. */
#define AS_CALL3(f) ((Call3)(void (*)(void))(f))

struct Library {
    HMODULE module;
    Call0 InitCam, UpdateFrame, UnloadCam, GetWidth, GetHeight, ToggleFlip;
    CallText SaveFrame;
    Call1 SetMode, ObjectGetX, ObjectGetY, ObjectDelete;
    Call2 IsMotion, ObjectAdd;
    Call3 IsColor, ObjectSetPosition;
};

static int passed, failed;

static void Check(int ok, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printf("%s: ", ok ? "ok" : "FAILED");
    vprintf(format, arguments);
    printf("\n");
    va_end(arguments);
    fflush(stdout);
    if (ok) {
        ++passed;
    } else {
        ++failed;
    }
}

static void Summary(void) {
    printf("%d passed, %d failed\n", passed, failed);
    fflush(stdout);
}

/* Same value bit for bit, or both NaN. */
static int Same(double a, double b) { return (isnan(a) && isnan(b)) || memcmp(&a, &b, sizeof a) == 0; }

static void Expect(const char *call, double got, double expected) {
    Check(Same(got, expected), "%s = %.17g (expected %.17g)", call, got, expected);
}

#define BIND(name, type)                                                           \
    do {                                                                           \
        library->name = (type)(void (*)(void))GetProcAddress(library->module, #name); \
        if (!library->name) {                                                      \
            Check(0, "GetProcAddress(\"%s\")", #name);                             \
            ++missing;                                                             \
        }                                                                          \
    } while (0)

static int Load(struct Library *library, const char *path) {
    int missing = 0;
    memset(library, 0, sizeof *library);
    library->module = LoadLibraryA(path);
    if (!library->module) {
        Check(0, "LoadLibraryA(\"%s\"): error %lu", path, (unsigned long)GetLastError());
        return 0;
    }
    BIND(InitCam, Call0);
    BIND(UpdateFrame, Call0);
    BIND(SaveFrame, CallText);
    BIND(UnloadCam, Call0);
    BIND(GetWidth, Call0);
    BIND(GetHeight, Call0);
    BIND(ToggleFlip, Call0);
    BIND(SetMode, Call1);
    BIND(IsMotion, Call2);
    BIND(IsColor, Call3);
    BIND(ObjectAdd, Call2);
    BIND(ObjectSetPosition, Call3);
    BIND(ObjectGetX, Call1);
    BIND(ObjectGetY, Call1);
    BIND(ObjectDelete, Call1);
    Check(missing == 0, "LoadLibraryA(\"%s\") and all 15 calls bound", path);
    return missing == 0;
}

/* ---- the host's floating-point state, set directly */

struct FloatState {
    uint32_t mxcsr;
    uint16_t x87Control;
    uint16_t x87Status;
};

static struct FloatState ReadFloatState(void) {
    struct FloatState state;
    __asm__ __volatile__("stmxcsr %0" : "=m"(state.mxcsr) : : "memory");
    __asm__ __volatile__("fnstcw %0" : "=m"(state.x87Control) : : "memory");
    __asm__ __volatile__("fnstsw %0" : "=m"(state.x87Status) : : "memory");
    return state;
}

static void WriteFloatState(struct FloatState state) {
    uint32_t environment[7];
    __asm__ __volatile__("fnstenv %0" : "=m"(environment) : : "memory");
    environment[0] = (environment[0] & 0xFFFF0000u) | state.x87Control;
    environment[1] = (environment[1] & 0xFFFF0000u) | state.x87Status;
    __asm__ __volatile__("fldenv %0" : : "m"(environment) : "memory");
    __asm__ __volatile__("ldmxcsr %0" : : "m"(state.mxcsr) : "memory");
}

static int SameState(struct FloatState a, struct FloatState b) {
    return a.mxcsr == b.mxcsr && a.x87Control == b.x87Control && a.x87Status == b.x87Status;
}

/* Invalid, divide-by-zero, overflow, underflow and inexact unmasked. */
static const struct FloatState TrapsOn = {0x1F80u & ~0x1E80u, 0x037F & ~0x3D, 0};

/* Calls fn(a, b, c) under `host` set just around the call; reports whether
 * the call gave the state back unchanged. */
static double __attribute__((noinline)) CallUnder(struct FloatState host, Call3 fn, double a, double b, double c,
                                                  int *stateKept) {
    struct FloatState mine = ReadFloatState(), after;
    volatile double result;
    WriteFloatState(host);
    result = fn(a, b, c);
    after = ReadFloatState();
    WriteFloatState(mine);
    *stateKept = SameState(after, host);
    return result;
}

/* ---- calls from a stack misaligned by `offset` bytes (4, 8 or 12) */

#if defined(__i386__)
static double __attribute__((noinline)) CallMisaligned(Call3 fn, double a, double b, double c, unsigned offset) {
    double arguments[3] = {a, b, c};
    double result = 0;
    const double *source = arguments;
    unsigned shift = offset;
    /* At the call instruction, esp = 16k + offset: the callee finds its
     * return address and arguments off the 16-byte grid. Only registers the
     * callee preserves (ebx, esi, edi) are used after the call. */
    __asm__ __volatile__(
        "movl %%esp, %%esi\n\t"
        "andl $-16, %%esp\n\t"
        "subl $48, %%esp\n\t"
        "addl %[shift], %%esp\n\t"
        "movl 0(%[source]), %%eax\n\t"
        "movl %%eax, 0(%%esp)\n\t"
        "movl 4(%[source]), %%eax\n\t"
        "movl %%eax, 4(%%esp)\n\t"
        "movl 8(%[source]), %%eax\n\t"
        "movl %%eax, 8(%%esp)\n\t"
        "movl 12(%[source]), %%eax\n\t"
        "movl %%eax, 12(%%esp)\n\t"
        "movl 16(%[source]), %%eax\n\t"
        "movl %%eax, 16(%%esp)\n\t"
        "movl 20(%[source]), %%eax\n\t"
        "movl %%eax, 20(%%esp)\n\t"
        "call *%[fn]\n\t"
        "fstpl (%[result])\n\t"
        "movl %%esi, %%esp\n\t"
        : [source] "+d"(source), [shift] "+c"(shift)
        : [fn] "b"(fn), [result] "D"(&result)
        : "eax", "esi", "memory", "cc");
    return result;
}

#endif

/* ---- the checks */

static void NoCameraContract(const struct Library *t) {
    Expect("UpdateFrame()", t->UpdateFrame(), 0);
    Expect("SaveFrame(\"frame.png\")", t->SaveFrame("frame.png"), 0);
    Expect("SaveFrame(NULL)", t->SaveFrame(NULL), 0);
    Expect("GetWidth()", t->GetWidth(), 0);
    Expect("GetHeight()", t->GetHeight(), 0);
    Expect("IsMotion(1, 1)", t->IsMotion(1, 1), 0);
    Expect("IsColor(1, 1, 0)", t->IsColor(1, 1, 0), -1);
    Expect("ToggleFlip()", t->ToggleFlip(), 1);
    Expect("ToggleFlip()", t->ToggleFlip(), 1);
    Expect("SetMode(1)", t->SetMode(1), 1);
    Expect("SetMode(0)", t->SetMode(0), 1);
    Expect("UnloadCam()", t->UnloadCam(), 1);
    Expect("UnloadCam() again", t->UnloadCam(), 1);
}

static void ObjectTable(const struct Library *t) {
    int id, full = 1;
    Expect("ObjectAdd(10.5, 20.25)", t->ObjectAdd(10.5, 20.25), 0);
    Expect("ObjectAdd(1, 2)", t->ObjectAdd(1, 2), 1);
    Expect("ObjectGetX(0)", t->ObjectGetX(0), 10.5);
    Expect("ObjectGetY(0.9)", t->ObjectGetY(0.9), 20.25);
    Expect("ObjectSetPosition(1, 3, 4)", t->ObjectSetPosition(1, 3, 4), 0);
    Expect("ObjectGetY(1)", t->ObjectGetY(1), 4);
    Expect("ObjectSetPosition(0, 0.1, 0)", t->ObjectSetPosition(0, 0.1, 0), 0);
    Expect("ObjectGetX(0) (0.1 kept as a 32-bit float)", t->ObjectGetX(0), (double)0.1f);
    Expect("ObjectDelete(0)", t->ObjectDelete(0), 0);
    Expect("ObjectGetX(0) after delete", t->ObjectGetX(0), -1);
    Expect("ObjectDelete(0) twice", t->ObjectDelete(0), -1);
    Expect("ObjectAdd reuses the lowest free id", t->ObjectAdd(5, 6), 0);
    for (id = 2; id < 256; ++id) full = full && t->ObjectAdd(id, id) == id;
    Check(full, "ObjectAdd fills ids 2..255");
    Expect("ObjectAdd on a full table", t->ObjectAdd(1, 1), -1);
    for (id = 0; id < 256; ++id) t->ObjectDelete(id);
    Expect("ObjectGetX(255) after emptying", t->ObjectGetX(255), -1);
}

static void SpecialDoubles(const struct Library *t) {
    const double nan = NAN, inf = INFINITY;
    const double refusedIds[] = {NAN, -NAN, INFINITY, -INFINITY, -0.5, -1, 256, 256.5, 1e300, -1e300, 4294967296.0};
    const double pixels[] = {NAN, -NAN, INFINITY, -INFINITY, -0.0, 0.5, 1e300, 2147483648.0, 4.9e-324};
    size_t i;
    for (i = 0; i < sizeof refusedIds / sizeof refusedIds[0]; ++i) {
        char name[64];
        snprintf(name, sizeof name, "ObjectGetX(%g)", refusedIds[i]);
        Expect(name, t->ObjectGetX(refusedIds[i]), -1);
        snprintf(name, sizeof name, "ObjectDelete(%g)", refusedIds[i]);
        Expect(name, t->ObjectDelete(refusedIds[i]), -1);
        snprintf(name, sizeof name, "ObjectSetPosition(%g, 1, 1)", refusedIds[i]);
        Expect(name, t->ObjectSetPosition(refusedIds[i], 1, 1), -1);
    }
    for (i = 0; i < sizeof pixels / sizeof pixels[0]; ++i) {
        char name[64];
        snprintf(name, sizeof name, "IsMotion(%g, 0)", pixels[i]);
        Expect(name, t->IsMotion(pixels[i], 0), 0);
        snprintf(name, sizeof name, "IsColor(0, %g, %g)", pixels[i], pixels[i]);
        Expect(name, t->IsColor(0, pixels[i], pixels[i]), -1);
        snprintf(name, sizeof name, "SetMode(%g)", pixels[i]);
        Expect(name, t->SetMode(pixels[i]), 1);
    }
    Expect("ObjectAdd(NaN, Inf)", t->ObjectAdd(nan, inf), 0);
    Check(isnan(t->ObjectGetX(0)), "ObjectGetX(0) is NaN");
    Expect("ObjectGetY(0)", t->ObjectGetY(0), inf);
    Expect("ObjectSetPosition(0, 1e300, -1e300)", t->ObjectSetPosition(0, 1e300, -1e300), 0);
    Expect("ObjectGetX(0) (beyond the float range)", t->ObjectGetX(0), inf);
    Expect("ObjectGetY(0) (beyond the float range)", t->ObjectGetY(0), -inf);
    Expect("ObjectDelete(0)", t->ObjectDelete(0), 0);
    Expect("SetMode(0)", t->SetMode(0), 1);
}

/* SaveFrame takes a pointer, which the 64-bit convention passes elsewhere
 * than a real: called through this adapter. */
static CallText saveFrameToCall;
static double __cdecl SaveFrameNull(double a, double b, double c) {
    (void)a, (void)b, (void)c;
    return saveFrameToCall(NULL);
}

/* Hosts that unmask exceptions: the reals that make comparisons raise
 * invalid-operation, with all five traps on just around each call. */
static void TrapsOnAroundCalls(const struct Library *t) {
    const struct { const char *name; Call3 fn; double a, b, c, expected; } cases[] = {
        {"IsMotion(NaN, 0)", AS_CALL3(t->IsMotion), NAN, 0, 0, 0},
        {"IsMotion(0, Inf)", AS_CALL3(t->IsMotion), 0, INFINITY, 0, 0},
        {"IsColor(NaN, NaN, NaN)", t->IsColor, NAN, NAN, NAN, -1},
        {"SetMode(NaN)", AS_CALL3(t->SetMode), NAN, 0, 0, 1},
        {"SetMode(1e300)", AS_CALL3(t->SetMode), 1e300, 0, 0, 1},
        {"ObjectGetX(NaN)", AS_CALL3(t->ObjectGetX), NAN, 0, 0, -1},
        {"ObjectDelete(-Inf)", AS_CALL3(t->ObjectDelete), -INFINITY, 0, 0, -1},
        {"ObjectAdd(1e300, 0.1)", AS_CALL3(t->ObjectAdd), 1e300, 0.1, 0, 0},
        {"ObjectSetPosition(0, NaN, 4.9e-324)", t->ObjectSetPosition, 0, NAN, 4.9e-324, 0},
        {"ObjectGetY(0)", AS_CALL3(t->ObjectGetY), 0, 0, 0, 0},
        {"ObjectDelete(0)", AS_CALL3(t->ObjectDelete), 0, 0, 0, 0},
        {"UpdateFrame()", AS_CALL3(t->UpdateFrame), 0, 0, 0, 0},
        {"SaveFrame(NULL)", SaveFrameNull, 0, 0, 0, 0},
        {"UnloadCam()", AS_CALL3(t->UnloadCam), 0, 0, 0, 1},
    };
    size_t i;
    saveFrameToCall = t->SaveFrame;
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        int stateKept = 0;
        const double got = CallUnder(TrapsOn, cases[i].fn, cases[i].a, cases[i].b, cases[i].c, &stateKept);
        Check(Same(got, cases[i].expected) && stateKept, "traps on: %s = %.17g (expected %.17g), host state %s",
              cases[i].name, got, cases[i].expected, stateKept ? "given back" : "CHANGED");
    }
}

static void MisalignedStacks(const struct Library *t) {
#if !defined(__i386__)
    (void)t;
    printf("misaligned stacks: 32-bit only (the 64-bit convention keeps the stack 16-byte aligned)\n");
#else
    unsigned offset;
    for (offset = 4; offset <= 12; offset += 4) {
        double x, y;
        Expect("misaligned: ObjectAdd(7.5, 8.25)", CallMisaligned(AS_CALL3(t->ObjectAdd), 7.5, 8.25, 0, offset), 0);
        x = CallMisaligned(AS_CALL3(t->ObjectGetX), 0, 0, 0, offset);
        y = CallMisaligned(AS_CALL3(t->ObjectGetY), 0, 0, 0, offset);
        Check(x == 7.5 && y == 8.25, "stack misaligned by %u: ObjectGetX/Y(0) = %g, %g", offset, x, y);
        Expect("misaligned: ObjectSetPosition(0, 1, 2)", CallMisaligned(t->ObjectSetPosition, 0, 1, 2, offset), 0);
        Expect("misaligned: IsMotion(NaN, 1)", CallMisaligned(AS_CALL3(t->IsMotion), NAN, 1, 0, offset), 0);
        Expect("misaligned: IsColor(1, 1, 255)", CallMisaligned(t->IsColor, 1, 1, 255, offset), -1);
        Expect("misaligned: GetWidth()", CallMisaligned(AS_CALL3(t->GetWidth), 0, 0, 0, offset), 0);
        Expect("misaligned: UpdateFrame()", CallMisaligned(AS_CALL3(t->UpdateFrame), 0, 0, 0, offset), 0);
        Expect("misaligned: ObjectDelete(0)", CallMisaligned(AS_CALL3(t->ObjectDelete), 0, 0, 0, offset), 0);
        Expect("misaligned: UnloadCam()", CallMisaligned(AS_CALL3(t->UnloadCam), 0, 0, 0, offset), 1);
    }
#endif
}

/* ---- the start-up box */

#define BoxWaitMilliseconds 30000
#define ProbeMessage (WM_APP + 1)

static struct {
    DWORD mainThread;
    HWND hostWindow;         /* the host's own window, on the main thread */
    volatile LONG boxSeen;   /* 1 once the box was found */
    char caption[128], text[256];
    DWORD foundAfter;
    int okPressed;
    int stateUnderBoxRead;
    struct FloatState stateUnderBox; /* read by the host's window code while the box was up */
} box;

/* The host's own window procedure: runs inside the box's modal loop. */
static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == ProbeMessage) {
        box.stateUnderBox = ReadFloatState();
        box.stateUnderBoxRead = 1;
        return 1;
    }
    return DefWindowProcA(window, message, w, l);
}

static BOOL CALLBACK FindErrorBox(HWND window, LPARAM found) {
    char caption[128];
    if (GetWindowTextA(window, caption, sizeof caption) > 0 && strcmp(caption, "Error") == 0 &&
        GetWindowThreadProcessId(window, NULL) == box.mainThread) {
        *(HWND *)found = window;
        return FALSE;
    }
    return TRUE;
}

static DWORD WINAPI WatchForBox(LPVOID unused) {
    const DWORD start = GetTickCount();
    (void)unused;
    while (GetTickCount() - start < BoxWaitMilliseconds) {
        HWND found = NULL;
        EnumWindows(FindErrorBox, (LPARAM)&found);
        if (found) {
            DWORD_PTR answer = 0;
            box.foundAfter = GetTickCount() - start;
            GetWindowTextA(found, box.caption, sizeof box.caption);
            /* A message box's text is its static control 0xFFFF. */
            GetDlgItemTextA(found, 0xFFFF, box.text, sizeof box.text);
            SendMessageTimeoutA(box.hostWindow, ProbeMessage, 0, 0, SMTO_BLOCK, 5000, &answer);
            box.okPressed = PostMessageA(found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(found, IDOK));
            InterlockedExchange(&box.boxSeen, 1);
            return 0;
        }
        Sleep(50);
    }
    printf("FAILED: no \"Error\" box within %d s; InitCam is still blocked\n", BoxWaitMilliseconds / 1000);
    ++failed;
    Summary();
    ExitProcess(1);
    return 1;
}

static void StartupBox(const struct Library *t) {
    /* A distinctive host state, without traps (the system's own window code runs under it). */
    const struct FloatState hostState = {0x7F80, 0x0F7F, 0}; /* round toward zero in both units */
    WNDCLASSA windowClass;
    HANDLE watcher;
    int stateKept = 0;
    double answer;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "TorvaneHostWindow";
    RegisterClassA(&windowClass);
    box.mainThread = GetCurrentThreadId();
    box.hostWindow = CreateWindowA("TorvaneHostWindow", "host", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    watcher = CreateThread(NULL, 0, WatchForBox, NULL, 0, NULL);
    printf("InitCam() with no camera: waiting up to %d s for the box\n", BoxWaitMilliseconds / 1000);
    fflush(stdout);
    answer = CallUnder(hostState, AS_CALL3(t->InitCam), 0, 0, 0, &stateKept);
    if (!box.boxSeen) {
        Check(0, "InitCam returned %g before any \"Error\" box was shown (no display driver?)", answer);
        TerminateThread(watcher, 0);
    } else {
        WaitForSingleObject(watcher, INFINITE);
        printf("box found after %lu ms: caption \"%s\", text \"%s\"; OK %s\n", (unsigned long)box.foundAfter,
               box.caption, box.text, box.okPressed ? "pressed" : "NOT pressed");
        Check(strcmp(box.caption, "Error") == 0, "box caption is \"Error\"");
        Check(strcmp(box.text, "Could not initialize camera.") == 0, "box text is \"Could not initialize camera.\"");
        Check(box.okPressed, "OK pressed by the check");
        /* The control bits are the host's; flags raised by the system's own
         * window code meanwhile are its business. */
        Check(box.stateUnderBoxRead && (box.stateUnderBox.mxcsr & ~0x3Fu) == hostState.mxcsr &&
                  box.stateUnderBox.x87Control == hostState.x87Control,
              "the host's window code ran under the host's floating-point controls while the box was up "
              "(mxcsr %04x, x87 control %04x)", (unsigned)box.stateUnderBox.mxcsr,
              (unsigned)box.stateUnderBox.x87Control);
    }
    CloseHandle(watcher);
    Expect("InitCam() with no camera", answer, 0);
    Check(stateKept, "InitCam gave the host's floating-point state back");
    Expect("GetWidth() after the failed InitCam", t->GetWidth(), 0);
    DestroyWindow(box.hostWindow);
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "Torvane.dll";
    struct Library library;
    setvbuf(stdout, NULL, _IONBF, 0);
    if (!Load(&library, path)) {
        Summary();
        return 1;
    }
    NoCameraContract(&library);
    ObjectTable(&library);
    SpecialDoubles(&library);
    TrapsOnAroundCalls(&library);
    MisalignedStacks(&library);
    Expect("ObjectAdd(3, 4) before unloading", library.ObjectAdd(3, 4), 0);
    Check(FreeLibrary(library.module) != 0, "FreeLibrary");
    if (Load(&library, path)) {
        Expect("ObjectGetX(0) after reloading (a fresh table)", library.ObjectGetX(0), -1);
        Expect("ObjectAdd(3, 4) after reloading", library.ObjectAdd(3, 4), 0);
        Expect("ObjectGetY(0) after reloading", library.ObjectGetY(0), 4);
        StartupBox(&library);
        Expect("UnloadCam()", library.UnloadCam(), 1);
        Check(FreeLibrary(library.module) != 0, "FreeLibrary again");
    }
    Summary();
    return failed == 0 ? 0 : 1;
}
