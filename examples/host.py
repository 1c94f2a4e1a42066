#!/usr/bin/env python3
"""A minimal host in Python: loads the Torvane shared library with ctypes,
declares the fifteen calls, runs a short loop of updates and probes.

    python3 host.py [path/to/libTorvane.so]   (default: libTorvane.so, found the usual way)

Without a camera the library says so itself ("Error: Could not initialize
camera." on standard error) and this host stops cleanly, with status 0.
"""
import ctypes
import sys

REAL = ctypes.c_double

# name: argument types. Every call returns a 64-bit real.
CALLS = {
    "InitCam": [],
    "UpdateFrame": [],
    "SaveFrame": [ctypes.c_char_p],
    "UnloadCam": [],
    "GetWidth": [],
    "GetHeight": [],
    "ToggleFlip": [],
    "SetMode": [REAL],
    "IsMotion": [REAL, REAL],
    "IsColor": [REAL, REAL, REAL],
    "ObjectAdd": [REAL, REAL],
    "ObjectSetPosition": [REAL, REAL, REAL],
    "ObjectGetX": [REAL],
    "ObjectGetY": [REAL],
    "ObjectDelete": [REAL],
}


def load(path):
    library = ctypes.CDLL(path)
    for name, arguments in CALLS.items():
        call = getattr(library, name)  # AttributeError names a missing call
        call.argtypes = arguments
        call.restype = REAL
    return library


def run_session(t):
    red = 255.0  # red + 256 * green + 65536 * blue
    width, height = t.GetWidth(), t.GetHeight()
    print(f"host.py: camera open, {width:.0f} x {height:.0f}")

    t.SetMode(0)
    moving = 0
    for _ in range(30):
        if t.UpdateFrame() == 1.0 and t.IsMotion(width / 2, height / 2) >= 1.0:
            moving += 1
    print(f"host.py: mode 0, motion at the centre in {moving} of 30 frames")

    t.SetMode(1)
    t.UpdateFrame()
    print(f"host.py: mode 1, centre pixel is {t.IsColor(width / 2, height / 2, red):.1f} away from red")

    t.SetMode(2)
    t.UpdateFrame()  # the first tracking step primes
    obj = t.ObjectAdd(width / 2, height / 2)
    for _ in range(30):
        t.UpdateFrame()
    print(f"host.py: mode 2, object {obj:.0f} moved to ({t.ObjectGetX(obj):.1f}, {t.ObjectGetY(obj):.1f})")
    t.ObjectSetPosition(obj, width / 4, height / 4)
    t.ObjectDelete(obj)


def main(argv):
    path = argv[1] if len(argv) > 1 else "libTorvane.so"
    try:
        torvane = load(path)
    except (OSError, AttributeError) as error:
        print(f"host.py: cannot use {path}: {error}", file=sys.stderr)
        return 1
    print(f"host.py: loaded {path}, {len(CALLS)} calls bound", flush=True)

    if torvane.InitCam() == 1.0:
        run_session(torvane)
    else:
        # The library has already told the user why.
        print("host.py: no camera; nothing to show")
    torvane.UnloadCam()
    print("host.py: done")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
