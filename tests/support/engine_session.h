// Test support for the output engine's destination side: a fixture that resets the engine and the
// logger around every test, records the engine's status texts and byte counts, and fills the
// destination and encoder settings directly (as the configuration would).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/temp_dir.h"

enum class ServerKind { kShoutcast, kIcecast, kIcecast2 };

using StatusTexts = std::vector<std::string>;

// The status texts of a connection that logs in and is accepted, with and without the password
// exchange of its protocol.
inline const StatusTexts kConnectedWithPassword = {"Connecting", "Socket connected", "Password OK",
                                                   "Success", "Connected"};
inline const StatusTexts kConnectedWithoutPassword = {"Connecting", "Socket connected", "Success",
                                                      "Connected"};
// A login that does not succeed, with the status that says why ("Password Failed",
// "Login refused: Mountpoint in use", "No login reply", ...).
inline StatusTexts LoginRefusedWith(const std::string& status) {
    return {"Connecting", "Socket connected", status};
}

// Server address and login settings; MP3 output (LAME, CBR 128 kbit/s, 44100 Hz stereo).
void ConfigureDestination(ServerKind kind, uint16_t port, const std::string& password = "hackme");
void ConfigureMp3Output();
// Ogg Vorbis output in quality mode (quality as the setting's text) or, with managed set, at the
// configured nominal/min/max bit rates.
void ConfigureOggOutput(const char* quality = "4", bool managed = false);

// Encodes a tone (with a little hiss) through the engine's running encoder and sends the result
// with SendEncoded, as the encoding of decoded audio does: Ogg pages as libogg completes them, or
// the MP3 data LAME returns. The encoder must have been set up (InitEncoder).
void EncodeVorbisTone(int frameCount, double toneHz = 440.0);
void EncodeMp3Tone(int frameCount, double toneHz = 440.0);

// The sink that EngineSessionTest registers on serverStatusSink: it records the texts for
// Statuses(). A test's own sink passes its texts on to it.
void RecordServerStatus(const char* text);

class EngineSessionTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Status texts reported on serverStatusSink since SetUp (or the last ClearStatuses).
    static std::vector<std::string> Statuses();
    static void ClearStatuses();
    // Sum of the byte counts reported on bytesSentSink.
    static std::uint64_t BytesReported();
    std::string LogText() const { return ReadWholeFile(logDir_.file("engine.log")); }

    TempDir logDir_;
};
