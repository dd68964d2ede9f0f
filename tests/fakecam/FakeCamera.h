// Access to the fake V4L2 camera library (libfakecam) from a test. The
// library answers for /dev/videoN nodes it makes up, inside the process
// that loaded it; a test drives it with one-line commands:
//
//   add N KIND BUS CARD...  a node /dev/videoN; KIND yuyv, mjpeg, both,
//                           meta (a metadata node) or inputs (two inputs)
//   remove N | clear        forget one node | every node
//   unplug N | replug N     the device goes away | comes back
//   busy N 0|1              another process holds the device
//   errors N COUNT          the next COUNT frames carry the error flag
//   badjpeg N COUNT         the next COUNT MJPEG frames cannot be decoded
//   oddsize N COUNT         the next COUNT frames have another size
//   stall N 0|1             frames stop (and start again)
//   dark N COUNT            the first COUNT frames after a stream start are black
//   colour N R G B          the picture's colour (input 0; input 1 inverted)
//   block N 0|1             a black block moves across the picture (0: none)
//   fps N RATE              frames a second
//
// Counters (fakecam_count) for node N: opens, streamons, frames (delivered),
// format (the pixel format set).
// A child process gets the library through LD_PRELOAD and its commands
// from the file named by FAKECAM_CONTROL: the lines it holds at start, then
// every line appended later. FAKECAM_TRACE set prints every request the
// fake answers on stderr.
#pragma once

#include <dlfcn.h>

#include <string>

struct TFakeCamera {
    using TControl = int (*)(const char*);
    using TCount = long (*)(const char*, int);

    static TControl ControlFn() { return reinterpret_cast<TControl>(dlsym(RTLD_DEFAULT, "fakecam_control")); }
    static TCount CountFn() { return reinterpret_cast<TCount>(dlsym(RTLD_DEFAULT, "fakecam_count")); }

    static bool Loaded() { return ControlFn() != nullptr; }
    static bool Control(const std::string& Line)
    {
        auto f = ControlFn();
        return f && f(Line.c_str()) == 0;
    }
    static long Count(const std::string& What, int Node)
    {
        auto f = CountFn();
        return f ? f(What.c_str(), Node) : -1;
    }
};

#define SKIP_WITHOUT_FAKE_CAMERA()                                                                        \
    do {                                                                                                  \
        if (!TFakeCamera::Loaded())                                                                       \
            GTEST_SKIP() << "the fake camera library is not loaded (run through ctest, which preloads it)"; \
    } while (0)
