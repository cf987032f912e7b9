#include <mutex>
#include <new>

#include "engine/libzembril.h"
#include "engine/source_levels.h"

namespace {

// Constructed once and rebuilt in place by ResetEngineState: the record holds a mutex and atomics,
// so it cannot be assigned afresh.
alignas(EngineState) unsigned char engineStorage[sizeof(EngineState)];
EngineState* engineState = new (engineStorage) EngineState();

}  // namespace

EngineState& Engine() { return *engineState; }

void ResetEngineState() {
    EngineState& engine = Engine();
    if (engine.destination.connected.load() || engine.destination.streamSocket >= 0) DisconnectFromServer();
    StopTitleSender();
    CloseArchiveFile();
    if (engine.encoder.resamplerReady) res_clear(&engine.encoder.resampler);
    if (engine.encoder.lameEncoder != nullptr) lame_close(engine.encoder.lameEncoder);
    ogg_stream_clear(&engine.encoder.oggStream);
    vorbis_block_clear(&engine.encoder.vorbisBlock);
    vorbis_dsp_clear(&engine.encoder.vorbisDsp);
    vorbis_info_clear(&engine.encoder.vorbisInfo);
    ResetSourceLevels();
    engine.~EngineState();
    engineState = new (engineStorage) EngineState();
}

void SetSourceUrlSink(StatusSink sink) { Engine().sinks.sourceUrl = sink; }
void SetDestinationUrlSink(StatusSink sink) { Engine().sinks.destinationUrl = sink; }
void SetServerStatusSink(StatusSink sink) { Engine().sinks.serverStatus = sink; }
void SetErrorSink(StatusSink sink) { Engine().sinks.error = sink; }
void SetBytesSentSink(ByteCountSink sink) { Engine().sinks.bytesSent = sink; }
void SetServerTypeSink(StatusSink sink) { Engine().sinks.serverType = sink; }
void SetStreamDescriptionSink(StatusSink sink) { Engine().sinks.streamDescription = sink; }
void SetStreamTypeSink(StatusSink sink) { Engine().sinks.streamType = sink; }
void SetBitrateDescriptionSink(StatusSink sink) { Engine().sinks.bitrateDescription = sink; }
void SetVuSink(LevelSink sink) { Engine().sinks.vu = sink; }

const char* GetSourceUrl() { return Engine().settings.sourceUrl.c_str(); }
const char* GetServerDescription() { return Engine().settings.serverDescription.c_str(); }
int GetLineInSampleRate() { return Engine().settings.lineInSampleRate; }
std::int64_t GetSampleRate() { return Engine().settings.sampleRate; }
int GetBitrateNominal() { return Engine().settings.bitrateNominal; }
int GetChannels() { return Engine().settings.channels; }
// The source's thread writes it, the output loop reads it for the next Ogg stream's comments.
void SetSourceDescription(const char* text) {
    EngineState& engine = Engine();
    std::lock_guard lock(engine.titles.lock);
    engine.titles.sourceDescription.assign(text);
}
