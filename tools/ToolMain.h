#pragma once
// The main() of a command-line tool: runs it, then ends the process the way the program does
// (Platform::endProcess: on Windows without the C runtime's exit-time clean-up, which can hang).
// So a tool never calls exit() itself: QCommandLineParser::parse(), not process().

#include "platform/Platform.h"

#define QUILLON_TOOL_MAIN(run)                                                                               \
    int main(int argc, char *argv[]) {                                                                       \
        Platform::endProcess(run(argc, argv));                                                               \
    }
