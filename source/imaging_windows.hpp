// Closing the imaging library's windows without ever loading its GUI module.
#pragma once

namespace torvane {

// Closes every window of the imaging library in this process, but only when
// the host has already loaded the GUI module itself: the library never links
// it, so that no GUI toolkit is pulled into a host that has its own.
void CloseImagingWindows();

}  // namespace torvane
