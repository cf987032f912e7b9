// Source levels: the short-term loudness (EBU R 128) and the sample peak of the
// decoded source audio, and the watch for dead air.
//
// The sample intake meters every block a decoder hands to ProcessSamples, on that decoder's
// thread, before the block is queued; the relay's own silence fill enters behind that door and is
// never metered. Metering runs while LevelLogSecs or SilenceSecs is set, or once
// KeepSourceLevels asked for it (the status listener). The meter and the silence watch are guarded by
// one lock (levelsLock); the reading is published in atomics after every block, so
// CurrentSourceLevels never waits for the meter and may be called from any thread.
#pragma once

struct SourceLevelReading {
    // The highest sample peak of the last 3 s of source audio, in dBFS; -infinity for none.
    double peakDbfs;
    // EBU R 128 short-term loudness (the last 3 s of source audio, in whole 100 ms slots), in
    // LUFS; -infinity before 100 ms of audio and for digital silence.
    double shortTermLufs;
    // The source has stayed below SilenceThreshold for SilenceSecs, and no sound came since.
    bool silent;
};

SourceLevelReading CurrentSourceLevels();

// Metering from now on, whatever LevelLogSecs and SilenceSecs say.
void KeepSourceLevels();

// One decoded source block (interleaved, `channels` per frame). The sample intake's step.
void MeterSourceBlock(const float* samples, int frameCount, int channels, int sampleRate);

// A new source transfer: its silent stretch starts at nothing, so that SourceDeadAir speaks of
// this source alone. The reading and the silent flag stay until the new source says otherwise.
void RestartSilenceWatch();

// The source of this transfer has been below SilenceThreshold for SilenceSecs (0: never).
bool SourceDeadAir();

// Back to the start-up state: no reading, no meter (ResetEngineState, tests).
void ResetSourceLevels();
