/*
 * Torvane: camera vision for any host that can load a native library.
 *
 * Fifteen flat C functions. Every parameter and result is a 64-bit real
 * (double), except the file name given to SaveFrame. Call them one at a time
 * from one thread: InitCam once, then UpdateFrame once per pass of the host's
 * loop followed by probes and object calls, and UnloadCam at the end.
 *
 * Reals that name a pixel or an object id are tested as reals first (NaN and
 * values out of range are refused), then truncated toward zero.
 *
 * No call ever crashes the host or lets an exception out: every refusal is the
 * call's own failure value, in every state.
 *
 *   state:            loaded      open     init failed   init failed   frame    after
 *                     (no Init)            at step 1     at step 2     missed   UnloadCam
 *   InitCam           1/0 (opens afresh; a second call while open closes first)
 *   UpdateFrame       0           1/0      0             1/0 (a)       1/0      0
 *   SaveFrame         0           ok/0     0             0 (b)         0        0
 *   UnloadCam         1           1        1             1             1        1
 *   GetWidth/Height   0           size     0             0 (b)         0        0
 *   ToggleFlip        1           1        1             1             1        1
 *   SetMode           1           1        1             1             1        1
 *   IsMotion          0           >=0      0             0 (b)         >=0      0
 *   IsColor           -1          >=0      -1            -1 (b)        >=0      -1
 *   Object* calls     work in every state (the table needs no camera);
 *                     each successful InitCam empties the table.
 *
 *   (a) a camera that opened but gave no first frame stays open; the first
 *       frame it later delivers is adopted as if InitCam had read it.
 *   (b) until such a frame arrives.
 */
#ifndef TORVANE_H
#define TORVANE_H

#if defined(_WIN32)
#  define TORVANE_CALL __cdecl
#  if defined(TORVANE_BUILDING_LIBRARY)
#    define TORVANE_API __declspec(dllexport)
#  else
#    define TORVANE_API __declspec(dllimport)
#  endif
#else
#  define TORVANE_CALL
#  define TORVANE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

TORVANE_API double TORVANE_CALL InitCam(void);                       /* 1: camera 0 open and first frame read; 0: not */
TORVANE_API double TORVANE_CALL UpdateFrame(void);                   /* 1: a frame was fetched; 0: none came or camera closed */
TORVANE_API double TORVANE_CALL SaveFrame(const char *fileName);     /* 1: current frame fully written; 0: not (no frame, bad name or extension, write failed) */
TORVANE_API double TORVANE_CALL UnloadCam(void);                     /* 1, always: camera and images released */
TORVANE_API double TORVANE_CALL GetWidth(void);                      /* width of the current frame in pixels; 0 without a frame */
TORVANE_API double TORVANE_CALL GetHeight(void);                     /* height of the current frame in pixels; 0 without a frame */
TORVANE_API double TORVANE_CALL ToggleFlip(void);                    /* 1, always: mirroring switched on/off from the next update */
TORVANE_API double TORVANE_CALL SetMode(double mode);                /* 1, always: 0 motion, 1 copy, 2 track, other: fetch only */
TORVANE_API double TORVANE_CALL IsMotion(double x, double y);        /* whole pixels per frame moved at (x, y), >= 0; 0 outside the picture */
TORVANE_API double TORVANE_CALL IsColor(double x, double y, double color); /* distance >= 0 of pixel (x, y) from colour red + 256*green + 65536*blue; -1 outside */
TORVANE_API double TORVANE_CALL ObjectAdd(double x, double y);       /* new object id 0..255 (lowest free); -1 when the table is full */
TORVANE_API double TORVANE_CALL ObjectSetPosition(double id, double x, double y); /* 0; -1 for an id that names no object */
TORVANE_API double TORVANE_CALL ObjectGetX(double id);               /* x of the object (as a 32-bit float); -1 for an id that names no object */
TORVANE_API double TORVANE_CALL ObjectGetY(double id);               /* y of the object (as a 32-bit float); -1 for an id that names no object */
TORVANE_API double TORVANE_CALL ObjectDelete(double id);             /* 0; -1 for an id that names no object */

#ifdef __cplusplus
}
#endif

#endif /* TORVANE_H */
