// The soak benchmark's command line: its length, how often the destination restarts, the station
// drops, the title changes and the relay is sampled, and which relay it runs.
#pragma once

#include <string>

struct SoakSettings {
    double seconds = 3600;
    double destinationEvery = 270;  // not a divisor of sourceEvery: the outages do not meet
    double sourceEvery = 1200;
    double titleEvery = 15;
    double sampleEvery = 5;
    int reconnectSecs = 2;
    bool ogg = false;
    std::string binary;
};

// Options override the defaults in `settings`; false on an unknown option or a value out of range.
bool ParseSoakSettings(int argc, char** argv, SoakSettings& settings);
