// How every Windows program ends: without the C runtime's exit-time clean-up (see Platform.h).
// A file of its own, so that even the build-time tool links it without the rest of the layer.

#include "platform/Platform.h"

#include <cstdio>
#include <stdlib.h>

void Platform::endProcess(int exitCode) {
    std::fflush(nullptr);
    _exit(exitCode);
}
