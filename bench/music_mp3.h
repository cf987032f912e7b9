// MP3 streams of music-like audio (bench/music_like.h) for the relay benchmarks, encoded with
// LAME as a station's stream looks: CBR joint stereo, no Xing/LAME information frame, so every
// frame is audio and the byte rate is exactly bitrate / 8.
#pragma once

#include <string>

// The encoded bytes; empty when LAME refused the settings.
std::string MakeMusicLikeMp3(double seconds, int sampleRate, int bitrateKbps);
