/*
 * A minimal host in C: loads the Torvane shared library by name at run time,
 * binds the fifteen calls by name, runs a short loop of updates and probes.
 *
 *   host [path/to/libTorvane.so]      (default: libTorvane.so, found the usual way)
 *
 * Without a camera the library says so itself ("Error: Could not initialize
 * camera." on standard error) and this host stops cleanly, with status 0.
 */
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#  include <windows.h>
#  define CALL __cdecl
typedef HMODULE LibraryHandle;
static LibraryHandle OpenLibrary(const char *path) { return LoadLibraryA(path); }
static void *FindCall(LibraryHandle library, const char *name) { return (void *)GetProcAddress(library, name); }
static void CloseLibrary(LibraryHandle library) { FreeLibrary(library); }
static const char *LoadError(void) { return "LoadLibrary failed"; }
static const char *const DefaultLibrary = "Torvane.dll";
#else
#  include <dlfcn.h>
#  define CALL
typedef void *LibraryHandle;
static LibraryHandle OpenLibrary(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void *FindCall(LibraryHandle library, const char *name) { return dlsym(library, name); }
static void CloseLibrary(LibraryHandle library) { dlclose(library); }
static const char *LoadError(void) { return dlerror(); }
static const char *const DefaultLibrary = "libTorvane.so";
#endif

/* Every call takes and returns 64-bit reals, except SaveFrame's file name. */
typedef double(CALL *Call0)(void);
typedef double(CALL *Call1)(double);
typedef double(CALL *Call2)(double, double);
typedef double(CALL *Call3)(double, double, double);
typedef double(CALL *CallText)(const char *);

struct Torvane {
    Call0 InitCam, UpdateFrame, UnloadCam, GetWidth, GetHeight, ToggleFlip;
    CallText SaveFrame;
    Call1 SetMode, ObjectGetX, ObjectGetY, ObjectDelete;
    Call2 IsMotion, ObjectAdd;
    Call3 IsColor, ObjectSetPosition;
};

/* Object pointers and function pointers are not interchangeable in ISO C;
   copying the bytes is the portable way to turn what dlsym returns into a call. */
static int Bind(LibraryHandle library, const char *name, void *slot, size_t size) {
    void *found = FindCall(library, name);
    if (found == NULL) {
        fprintf(stderr, "host: the library has no call named %s\n", name);
        return 0;
    }
    memcpy(slot, &found, size);
    return 1;
}

#define BIND(name) ok &= Bind(library, #name, &torvane->name, sizeof torvane->name)

static int BindAll(LibraryHandle library, struct Torvane *torvane) {
    int ok = 1;
    BIND(InitCam);
    BIND(UpdateFrame);
    BIND(SaveFrame);
    BIND(UnloadCam);
    BIND(GetWidth);
    BIND(GetHeight);
    BIND(ToggleFlip);
    BIND(SetMode);
    BIND(IsMotion);
    BIND(IsColor);
    BIND(ObjectAdd);
    BIND(ObjectSetPosition);
    BIND(ObjectGetX);
    BIND(ObjectGetY);
    BIND(ObjectDelete);
    return ok;
}

/* A short session: motion, then colour, then one tracked object. */
static void RunSession(const struct Torvane *t) {
    const double red = 255.0; /* red + 256 * green + 65536 * blue */
    double width = t->GetWidth(), height = t->GetHeight();
    double object, moving = 0.0;
    int frame;
    printf("host: camera open, %.0f x %.0f\n", width, height);

    t->SetMode(0);
    for (frame = 0; frame < 30; ++frame) {
        if (t->UpdateFrame() == 1.0) moving += t->IsMotion(width / 2, height / 2) >= 1.0;
    }
    printf("host: mode 0, motion at the centre in %.0f of 30 frames\n", moving);

    t->SetMode(1);
    t->UpdateFrame();
    printf("host: mode 1, centre pixel is %.1f away from red\n", t->IsColor(width / 2, height / 2, red));

    t->SetMode(2);
    t->UpdateFrame(); /* the first tracking step primes */
    object = t->ObjectAdd(width / 2, height / 2);
    for (frame = 0; frame < 30; ++frame) t->UpdateFrame();
    printf("host: mode 2, object %.0f moved to (%.1f, %.1f)\n", object, t->ObjectGetX(object), t->ObjectGetY(object));
    t->ObjectSetPosition(object, width / 4, height / 4);
    t->ObjectDelete(object);
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : DefaultLibrary;
    struct Torvane torvane;
    LibraryHandle library = OpenLibrary(path);
    if (library == NULL) {
        fprintf(stderr, "host: cannot load %s: %s\n", path, LoadError());
        return 1;
    }
    if (!BindAll(library, &torvane)) {
        CloseLibrary(library);
        return 1;
    }
    printf("host: loaded %s, 15 calls bound\n", path);

    if (torvane.InitCam() == 1.0) {
        RunSession(&torvane);
    } else {
        /* The library has already told the user why. */
        printf("host: no camera; nothing to show\n");
    }
    torvane.UnloadCam();
    CloseLibrary(library);
    printf("host: done\n");
    return 0;
}
