// How every program ends on POSIX systems: the ordinary exit (see Platform.h).
// A file of its own, so that even the build-time tool links it without the rest of the layer.

#include "platform/Platform.h"

#include <cstdlib>

void Platform::endProcess(int exitCode) {
    std::exit(exitCode);
}
