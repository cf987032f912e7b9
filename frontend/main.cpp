#include <cstdio>

#include "common/run_control.h"
#include "frontend/commandline.h"
#include "input/ziravorov.h"

// A run ends with status 1 (the source ended, or the run failed) unless SIGINT or SIGTERM
// stopped it: an operator's stop is not a failure.
int main(int argc, char** argv) {
    // Under a supervisor standard output is a pipe or a file, fully buffered by default: each
    // status line is to appear when it happens, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    ParseCommandLine(argc, argv);
    const int runResult = StartTranscoding();
    return StopRequested() ? 0 : runResult;
}
