// The `-C` configuration file of a run, as the tests and benchmarks write it: "Key=value" lines in
// the order they were set, and raw lines written as given (for files that are malformed on
// purpose).
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

class StationConfig {
  public:
    StationConfig() = default;  // no line at all

    // A relay of the station at sourceUrl to an Icecast2 server at 127.0.0.1:port, mount /live.
    static StationConfig LoopbackRelay(const std::string& sourceUrl, uint16_t port,
                                       const std::string& password = "hackme");

    // Replaces the value of a key already set, in its place; a new key goes last.
    StationConfig& Set(const std::string& key, const std::string& value);
    template <std::integral Number>
    StationConfig& Set(const std::string& key, Number value) {
        return Set(key, std::to_string(value));
    }
    StationConfig& Set(const std::string& key, const char* value) {
        return Set(key, std::string(value));
    }
    // The encoder and its output: Encode, BitrateNominal, Samplerate, NumberChannels.
    StationConfig& SetOutput(const std::string& encode, int kbps = 128, int sampleRate = 44100,
                             int channelCount = 2);
    StationConfig& Remove(const std::string& key);
    // A line written exactly as given (no newline in it), after those set before it.
    StationConfig& AddRawLine(const std::string& line);

    // The value of the key, "" when it is not set.
    std::string Get(const std::string& key) const;

    std::string Text() const;
    // Writes the file and returns its path.
    std::string Write(const std::string& path) const;

  private:
    struct Line {
        std::string key;   // empty for a raw line
        std::string text;  // the value, or the whole raw line
    };
    Line* Find(const std::string& key);

    std::vector<Line> lines_;
};
