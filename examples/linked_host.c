/*
 * The smallest linked host: includes torvane.h and links the library
 * (-lTorvane), as a C or C++ program built against an installed copy does.
 *
 *   cc linked_host.c $(pkg-config --cflags --libs torvane) -o linked_host
 *
 * With a camera it watches the centre of the picture for a few seconds and
 * says how often something moved there. Without one the library says so
 * itself ("Error: Could not initialize camera." on standard error) and this
 * host stops cleanly, with status 0.
 */
#include <stdio.h>

#include "torvane.h"

enum { Frames = 150 };

int main(void) {
    if (InitCam() == 1.0) {
        double x = GetWidth() / 2, y = GetHeight() / 2;
        int frame, moving = 0;
        SetMode(0);
        for (frame = 0; frame < Frames; ++frame) {
            if (UpdateFrame() == 1.0 && IsMotion(x, y) >= 1.0) ++moving; /* something moved there */
        }
        UnloadCam();
        printf("linked_host: motion at the centre in %d of %d frames\n", moving, Frames);
    } else {
        /* The library has already told the user why. */
        printf("linked_host: no camera; nothing to show\n");
    }
    return 0;
}
