#include "tests/support/aac_fixture.h"

#include <string>
#include <vector>

#include "tests/support/child_process.h"

std::string MakeAacTone(const AacFormat& format) {
    const std::string sine = "sine=frequency=" + std::to_string(format.toneHz) +
                             ":sample_rate=" + std::to_string(format.sampleRate) +
                             ":duration=" + std::to_string(format.seconds);
    const std::vector<std::string> arguments = {
        "/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
        "-f", "lavfi", "-i", sine,
        "-ac", std::to_string(format.channelCount),
        "-c:a", "aac", "-b:a", std::to_string(format.bitrateKbps) + "k",
        "-f", "adts", "pipe:1"};
    const ChildResult result = RunProgram(arguments, ".", 60000);
    if (!result.exited || result.exitStatus != 0) return {};
    return result.out;
}
