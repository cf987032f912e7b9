#include "common/run_control.h"

namespace {
RunControl runControl;
}

RunControl& Control() {
    return runControl;
}

void ResetRunControl() {
    runControl.stopRequested.store(0);
    runControl.transferEnding.store(false);
    runControl.destinationLost.store(false);
}

bool StopRequested() {
    return runControl.stopRequested.load() != 0;
}
