// A demo listener: fetches a mount of the local Icecast2 server for a few seconds and shows what
// a listener gets: the mount's current title, and whether the audio decodes (format, rate,
// channels, length, the tone it carries).
//
//   demo_listen --port P --mount /demo [--seconds N]
//
// Exit status 0 when audio was received and decoded, 1 otherwise.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/audio_check.h"
#include "tests/support/icecast_server.h"
#include "tests/support/stream_listener.h"

namespace {

std::string CurrentTitle(int port, const std::string& mount) {
    std::string title;
    const std::string status =
        FetchUrl("http://127.0.0.1:" + std::to_string(port) + "/status-json.xsl", 3000);
    if (!FindMountTitle(status, mount, title)) return "(mount not listed)";
    return title;
}

void ShowAudio(const DecodedAudio& audio, const char* format) {
    std::vector<float> left = audio.Channel(0);
    // The first and last moments hold encoder padding and a title change may fall in between:
    // the tone is measured on the middle half.
    const std::size_t quarter = left.size() / 4;
    std::vector<float> middle(left.begin() + quarter, left.end() - quarter);
    std::printf(
        "demo_listen: decoded %s: %d Hz, %d channels, %.1f s, tone about %.0f Hz, "
        "level %.2f RMS\n",
        format, audio.sampleRate, audio.channelCount,
        static_cast<double>(audio.frameCount()) / audio.sampleRate,
        EstimateToneHz(middle, audio.sampleRate), RootMeanSquare(middle));
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string mount;
    double seconds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--mount") == 0) mount = argv[i + 1];
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    }
    if (port <= 0 || mount.empty()) {
        std::fprintf(stderr, "usage: demo_listen --port P --mount /demo [--seconds N]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines show as they come, also through a pipe
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + mount;
    std::printf("demo_listen: mount %s, title now: %s\n", url.c_str(),
                CurrentTitle(port, mount).c_str());
    StreamListener listener(url, static_cast<int>(seconds * 1000));
    const std::string received = listener.Finish();
    std::printf("demo_listen: received %zu bytes in %.0f s; title now: %s\n", received.size(),
                seconds, CurrentTitle(port, mount).c_str());

    if (received.compare(0, 4, "OggS") == 0) {
        const std::vector<OggLink> links = DecodeOgg(received);
        if (links.empty()) return 1;
        for (const OggLink& link : links) {
            std::printf("demo_listen: Ogg stream, TITLE=%s ARTIST=%s\n",
                        link.Comment("TITLE").c_str(), link.Comment("ARTIST").c_str());
            if (link.audio.frameCount() > 0) ShowAudio(link.audio, "Ogg Vorbis");
        }
        return 0;
    }
    const DecodedAudio audio = DecodeMp3(received);
    if (audio.frameCount() == 0) {
        std::printf("demo_listen: nothing decodable received\n");
        return 1;
    }
    ShowAudio(audio, "MP3");
    return 0;
}
