#include "common/status.h"

namespace {
FrontEndSlots frontEndSlots;
}

FrontEndSlots& FrontEnd() {
    return frontEndSlots;
}

void ClearFrontEndSlots() {
    FrontEndSlots& slots = frontEndSlots;
    slots.mainStatus = slots.inputStatus = nullptr;
    slots.inputBytes = nullptr;
    slots.inputServerType = slots.inputStreamType = slots.inputStreamUrl = nullptr;
    slots.inputStreamName = slots.metadata = slots.inputBitrate = nullptr;
    slots.outputStatus = nullptr;
    slots.outputBytes = nullptr;
    slots.outputDestination = slots.outputServerType = slots.outputStreamType = nullptr;
    slots.outputBitrate = nullptr;
    slots.createConfigOnly = 0;
}
