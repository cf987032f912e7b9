// ADTS streams written bit by bit, for the HE-AAC tests: no encoder in the distribution makes SBR
// or parametric stereo. Each frame is a mono AAC-LC core without spectral data (max_sfb 0, so the
// core itself is silent) followed by a fill element that carries SBR data, signalled implicitly
// as HE-AAC streams do in ADTS. The SBR part sounds: a noise floor and an added sinusoid in its
// one band. With parametric stereo the SBR data carries a PS extension (headers only: no
// intensity or coherence parameters), and a decoder puts out two channels.
//
// The SBR layout was chosen so that no Huffman-coded values are needed: linear frequency scale,
// the crossover band leaving a single high band, one envelope and one noise floor band, each sent
// as its start value alone.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct AdtsSynthFormat {
    int coreRateIndex = 6;  // ADTS sampling_frequency_index of the core: 6 is 24000 Hz
    double seconds = 1.0;
    bool sbr = true;
    bool parametricStereo = true;  // needs sbr
    int envelopeLevel = 56;        // SBR envelope start value (1.5 dB steps)
};

// Frames of the core's 1024 samples each, enough for the duration at the core rate.
std::string MakeSynthAdts(const AdtsSynthFormat& format);

struct AdtsFrameSpan {
    std::size_t offset = 0;
    std::size_t byteCount = 0;  // as its header gives it
};

// The ADTS frames met by walking the bytes from header to header; stops at the first place where
// no header is.
std::vector<AdtsFrameSpan> AdtsFrameSpans(const std::string& bytes);
