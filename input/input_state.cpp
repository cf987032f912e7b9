#include "input/input_state.h"

#include <memory>

#include "decoders/oggvdecoder.h"

namespace {
InputState inputState;
}

InputState& Input() {
    return inputState;
}

void ResetInputState() {
    inputState.oggSource.Abandon();
    JoinVorbisDecoder();
    // The record holds an atomic and a reference to its own ring buffer: rebuilt in place.
    std::destroy_at(&inputState);
    std::construct_at(&inputState);
}

const char* SourceFormatName(const InputState& input) {
    if (input.inputIsVorbis) return "Ogg Vorbis or Opus";
    return input.inputIsAac ? "AAC" : "MP3";
}

void ResetHeaderState(InputState& input) {
    input.headerComplete = false;
    input.interimResponse = false;
    input.redirectResponse = false;
    input.redirectLocation.clear();
    input.redirectStatus.clear();
    input.bodyStarted = false;
    input.headerDone = false;
    input.MetadataFlag = false;
    input.inputIsVorbis = false;
    input.inputIsAac = false;
    input.icecastFlag = false;
    input.MetaInterval = 0;
}
