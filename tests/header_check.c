/* The public header compiles on its own as strict C11, and its fifteen calls
   have the signatures a host binds them with. */
#include "torvane.h"

typedef double (*Call0)(void);
typedef double (*Call1)(double);
typedef double (*Call2)(double, double);
typedef double (*Call3)(double, double, double);
typedef double (*SaveCall)(const char *);

const Call0 torvane_check_calls0[] = {InitCam, UpdateFrame, UnloadCam, GetWidth, GetHeight, ToggleFlip};
const Call1 torvane_check_calls1[] = {SetMode, ObjectGetX, ObjectGetY, ObjectDelete};
const Call2 torvane_check_calls2[] = {IsMotion, ObjectAdd};
const Call3 torvane_check_calls3[] = {IsColor, ObjectSetPosition};
const SaveCall torvane_check_save = SaveFrame;
