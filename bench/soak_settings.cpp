#include "bench/soak_settings.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

bool ParseSoakSettings(int argc, char** argv, SoakSettings& settings) {
    double reconnectSecs = settings.reconnectSecs;
    const std::pair<std::string, double*> numbers[] = {
        {"--seconds", &settings.seconds},
        {"--destination-every", &settings.destinationEvery},
        {"--source-every", &settings.sourceEvery},
        {"--title-every", &settings.titleEvery},
        {"--sample-every", &settings.sampleEvery},
        {"--reconnect-secs", &reconnectSecs},
    };
    for (int at = 1; at < argc; ++at) {
        const std::string name = argv[at];
        if (name == "--ogg") {
            settings.ogg = true;
            continue;
        }
        if (at + 1 >= argc) return false;
        const char* value = argv[++at];
        if (name == "--binary") {
            settings.binary = value;
            continue;
        }
        const auto number = std::find_if(std::begin(numbers), std::end(numbers),
                                         [&](const auto& entry) { return entry.first == name; });
        if (number == std::end(numbers)) return false;
        *number->second = std::atof(value);
    }
    settings.reconnectSecs = static_cast<int>(reconnectSecs);
    return settings.seconds > 0 && settings.destinationEvery > 0 && settings.sourceEvery > 0 &&
           settings.titleEvery >= 1 && settings.sampleEvery > 0 && settings.reconnectSecs >= 0;
}
