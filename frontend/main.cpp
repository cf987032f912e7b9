#include <cstdio>

#include "common/run_control.h"
#include "engine/libzembril.h"
#include "frontend/allocator_tuning.h"
#include "frontend/commandline.h"
#include "frontend/status_listener.h"
#include "input/ziravorov.h"

// A run ends with status 1 (the source ended, or the run failed) unless SIGINT or SIGTERM
// stopped it: an operator's stop is not a failure.
int main(int argc, char** argv) {
    TuneAllocatorForLongRuns();
    // Under a supervisor standard output is a pipe or a file, fully buffered by default: each
    // status line is to appear when it happens, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    ParseCommandLine(argc, argv);
    // Serves from here to the run's end; a listener that cannot start leaves the run as it is.
    const StatusListener statusListener(Engine().settings.statusAddress.c_str(), Engine().settings.statusPort,
                                        StationFactsOfConfiguration());
    const int runResult = StartTranscoding();
    return StopRequested() ? 0 : runResult;
}
