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
    if (engine.connected.load() || engine.streamSocket >= 0) DisconnectFromServer();
    StopTitleSender();
    CloseArchiveFile();
    if (engine.resamplerReady) res_clear(&engine.resampler);
    if (engine.lameEncoder != nullptr) lame_close(engine.lameEncoder);
    ogg_stream_clear(&engine.oggStream);
    vorbis_block_clear(&engine.vorbisBlock);
    vorbis_dsp_clear(&engine.vorbisDsp);
    vorbis_info_clear(&engine.vorbisInfo);
    ResetSourceLevels();
    engine.~EngineState();
    engineState = new (engineStorage) EngineState();
}

void SetSourceUrlSink(StatusSink sink) { Engine().sourceUrlSink = sink; }
void SetDestinationUrlSink(StatusSink sink) { Engine().destinationUrlSink = sink; }
void SetServerStatusSink(StatusSink sink) { Engine().serverStatusSink = sink; }
void SetErrorSink(StatusSink sink) { Engine().errorSink = sink; }
void SetBytesSentSink(ByteCountSink sink) { Engine().bytesSentSink = sink; }
void SetServerTypeSink(StatusSink sink) { Engine().serverTypeSink = sink; }
void SetStreamDescriptionSink(StatusSink sink) { Engine().streamDescriptionSink = sink; }
void SetStreamTypeSink(StatusSink sink) { Engine().streamTypeSink = sink; }
void SetBitrateDescriptionSink(StatusSink sink) { Engine().bitrateDescriptionSink = sink; }
void SetVuSink(LevelSink sink) { Engine().vuSink = sink; }

const char* GetSourceUrl() { return Engine().sourceUrl.c_str(); }
const char* GetServerDescription() { return Engine().serverDescription.c_str(); }
int GetLineInSampleRate() { return Engine().lineInSampleRate; }
int GetIsOggVorbis() { return Engine().isOggVorbis; }
int GetIsWma() { return Engine().isWma; }
std::int64_t GetSampleRate() { return Engine().sampleRate; }
int GetBitrateNominal() { return Engine().bitrateNominal; }
int GetChannels() { return Engine().channels; }
// The source's thread writes it, the output loop reads it for the next Ogg stream's comments.
void SetSourceDescription(const char* text) {
    EngineState& engine = Engine();
    std::lock_guard lock(engine.titleLock);
    engine.sourceDescription.assign(text);
}
