// Writes the starting corpus of every fuzz target, one folder per target, into the folder named
// on the command line. Audio is generated here (a short tone through LAME, libvorbisenc or FFmpeg's
// AAC encoder; HE-AAC written bit by bit), and the configuration seeds are written by the
// configuration code itself.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/config_store.h"
#include "common/log.h"
#include "engine/libzembril.h"
#include "tests/support/aac_fixture.h"
#include "tests/support/adts_writer.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/opus_fixture.h"

namespace {

namespace fs = std::filesystem;

fs::path outputRoot;

void WriteSeed(const std::string& target, const std::string& name, const std::string& bytes) {
    const fs::path folder = outputRoot / target;
    fs::create_directories(folder);
    std::ofstream file(folder / name, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", (folder / name).c_str());
        std::exit(1);
    }
}

std::string Byte(int value) {
    return std::string(1, static_cast<char>(value));
}

std::string Word(int value) {
    return Byte(value & 255) + Byte(value >> 8 & 255);
}

// A metadata block: the length byte, then the text padded with zero bytes to 16 × length.
std::string MetadataBlock(const std::string& text) {
    if (text.empty()) return Byte(0);
    const std::size_t length = (text.size() + 15) / 16;
    std::string padded = text;
    padded.resize(16 * length, '\0');
    return Byte(static_cast<int>(length)) + padded;
}

// The MP3 stream cut into blocks of `interval` bytes, each followed by a metadata block.
std::string IcyBody(const std::string& mp3, int interval, const std::vector<std::string>& titles) {
    std::string body;
    std::size_t next = 0;
    for (std::size_t at = 0; at < mp3.size(); at += interval) {
        body += mp3.substr(at, interval);
        if (at + interval > mp3.size()) break;
        const std::string& title = titles[next++ % titles.size()];
        body += MetadataBlock(title.empty() ? "" : "StreamTitle='" + title + "';StreamUrl='';");
    }
    return body;
}

void WriteHeaderSeeds(const std::string& mp3) {
    WriteSeed("header", "lines-mp3",
              Byte(0) + Byte(1) +
                  "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name:Station One\r\n"
                  "icy-genre:Jazz\r\nicy-metaint:8192\r\nicy-br:128\r\n\r\n");
    WriteSeed("header", "lines-ogg",
              Byte(0) + Byte(2) +
                  "HTTP/1.1 200 OK\r\nServer: Icecast 2.4.4\r\nContent-Type: application/ogg\r\n"
                  "icy-name:Station Two\r\nCache-Control: no-cache\r\n\r\n");
    WriteSeed("header", "inline",
              Byte(1) + Byte(3) +
                  "ICY 200 OK\r\nicy-notice1:<BR>This stream requires Winamp<BR>\r\n"
                  "icy-name:Station Three\r\nicy-pub:1\r\nicy-metaint:16000\r\n\r\n" +
                  mp3.substr(0, 512));
}

void WriteIcySeeds(const std::string& mp3) {
    const std::vector<std::string> titles = {"Artist - Song", "", "Another Artist - Another Song",
                                             "Caf\xc3\xa9 - Cr\xc3\xa8me br\xc3\xbbl\xc3\xa9"
                                             "e"};
    const int interval = 1000;
    WriteSeed("icy_body", "lines-metaint",
              Byte(0) + Word(interval) + Byte(7) + IcyBody(mp3, interval, titles));
    WriteSeed("icy_body", "inline-metaint",
              Byte(1) + Word(interval) + Byte(9) + IcyBody(mp3, interval, titles));
    WriteSeed("icy_body", "no-metadata", Byte(2) + Word(0) + Byte(11) + mp3);
}

void WriteMp3Seeds() {
    struct Mp3Seed {
        const char* name;
        int cutter;
        int sampleRate;
        int channelCount;
        int bitrateKbps;
    };
    const Mp3Seed seeds[] = {{"44100-stereo", 5, 44100, 2, 64},
                             {"22050-mono", 6, 22050, 1, 32},
                             {"8000-mono", 7, 8000, 1, 8}};
    for (const Mp3Seed& seed : seeds) {
        Mp3Format format;
        format.sampleRate = seed.sampleRate;
        format.channelCount = seed.channelCount;
        format.seconds = 0.3;
        format.bitrateKbps = seed.bitrateKbps;
        WriteSeed("mp3_block", seed.name, Byte(seed.cutter) + MakeMp3Tone(format));
    }
}

// AAC-LC from FFmpeg (when it is there) and HE-AAC written bit by bit, a little damaged too.
void WriteAacSeeds() {
    const std::string lc = MakeAacTone({44100, 2, 0.2, 440, 64});
    if (!lc.empty()) WriteSeed("aac_block", "lc-44100-stereo", Byte(5) + lc);
    const std::string lcMono = MakeAacTone({22050, 1, 0.2, 1000, 32});
    if (!lcMono.empty()) WriteSeed("aac_block", "lc-22050-mono", Byte(6) + lcMono);
    const std::string heV2 = MakeSynthAdts({6, 0.3, true, true});
    WriteSeed("aac_block", "he-aac-v2", Byte(7) + heV2);
    WriteSeed("aac_block", "he-aac-v1", Byte(8) + MakeSynthAdts({7, 0.3, true, false}));
    WriteSeed("aac_block", "junk-between", Byte(9) + heV2.substr(0, 100) + std::string(50, '\xff') +
                                              heV2.substr(100) + lc.substr(0, lc.size() / 2));
}

void WriteOggSeeds() {
    OggLinkSpec first;
    first.frameCount = 4096;
    first.quality = -0.1f;
    first.comments = {"ARTIST=Someone", "TITLE=Something"};
    OggLinkSpec second;
    second.sampleRate = 22050;
    second.channelCount = 1;
    second.frameCount = 2048;
    second.quality = -0.1f;
    second.comments = {"title=Only A Title"};
    WriteSeed("ogg_vorbis", "one-link", MakeOggVorbis({first}));
    WriteSeed("ogg_vorbis", "two-links", MakeOggVorbis({first, second}));

    OpusLinkSpec opus;
    opus.frameCount = 2880;
    opus.bitrate = 16000;
    opus.comments = {"ARTIST=Someone Else", "TITLE=Opus"};
    OpusLinkSpec mono = opus;
    mono.channelCount = 1;
    mono.comments = {"title=Mono"};
    const std::string opusLink = MakeOggOpus({opus}, 7);
    WriteSeed("ogg_links", "opus", Byte(1) + opusLink);
    WriteSeed("ogg_links", "opus-two-links", Byte(2) + MakeOggOpus({opus, mono}, 8));
    WriteSeed("ogg_links", "vorbis-opus-vorbis",
              Byte(3) + MakeOggVorbis({second}) + opusLink + MakeOggVorbis({first}, 9));
    WriteSeed("ogg_links", "flac-link",
              Byte(4) + OggLinkOfPackets(10, {kOggFlacFirstPacket, std::string(64, 'f')}));
}

std::string ReadWhole(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The file "-C" writes, after the given settings.
std::string WrittenConfig(const std::vector<std::pair<const char*, const char*>>& settings) {
    ResetEngineState();
    ResetConfigTable();
    for (const auto& [key, value] : settings) SetConfigValue(key, value);
    ApplyConfig();
    const fs::path path = outputRoot / "written.cfg";
    SetConfigPath(path.c_str());
    WriteConfigFile();
    std::string text = ReadWhole(path);
    fs::remove(path);
    return text;
}

void WriteConfigSeeds() {
    ResetLogger();
    SetLogPath("/dev/null");
    WriteSeed("config", "defaults", WrittenConfig({{"LogFile", "/dev/null"}}));
    WriteSeed("config", "icecast2-ogg",
              WrittenConfig({{"LogFile", "/dev/null"},
                             {"ServerType", "Icecast2"},
                             {"Encode", "OGG"},
                             {"OggBitrateQualityFlag", "Bitrate"},
                             {"ServerMountpoint", "/relay.ogg"}}));
    WriteSeed("config", "hand-written",
              "# a few lines as an operator writes them\nServer= 127.0.0.1 \nPort=8000\r\n"
              "Encode=LAME\nBitrateNominal=-5\nSampleRate=999999999999\n=no key\nno value\n"
              "ServerType=Icecast\nLockMetadata=Locked - Title\nLogFile=/dev/null\n");
}

void WriteTextSeeds() {
    const std::vector<std::string> texts = {"hackme", "Artist - Song & More: 100% \"live\"",
                                            "Caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xb5",
                                            "line\r\nbreak\x01\x7f", std::string(40, '%')};
    int number = 0;
    for (const std::string& text : texts) {
        const std::string name = "text-" + std::to_string(number++);
        WriteSeed("text_encoding", name, Byte(255) + text);
        WriteSeed("text_encoding", name + "-short-output", Byte(40) + text);
        WriteSeed("titles", name, Byte(number) + "hackme\n" + text);
    }
    WriteSeed("titles", "long",
              Byte(2) + "p@ss word\n" + std::string(400, '&') + " - " + std::string(700, 'x') +
                  "\xc3\xa9");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <seed folder>\n", argv[0]);
        return 2;
    }
    outputRoot = argv[1];
    Mp3Format tone;
    tone.seconds = 0.5;
    tone.bitrateKbps = 64;
    const std::string mp3 = MakeMp3Tone(tone);
    if (mp3.empty()) {
        std::fprintf(stderr, "LAME refused the tone's settings\n");
        return 1;
    }
    WriteHeaderSeeds(mp3);
    WriteIcySeeds(mp3);
    WriteMp3Seeds();
    WriteAacSeeds();
    WriteOggSeeds();
    WriteConfigSeeds();
    WriteTextSeeds();
    return 0;
}
