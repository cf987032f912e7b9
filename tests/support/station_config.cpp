#include "tests/support/station_config.h"

#include <algorithm>

#include "tests/support/temp_dir.h"

StationConfig StationConfig::LoopbackRelay(const std::string& sourceUrl, uint16_t port,
                                           const std::string& password) {
    StationConfig config;
    config.Set("SourceURL", sourceUrl)
        .Set("Server", "127.0.0.1")
        .Set("Port", port)
        .Set("ServerPassword", password)
        .Set("ServerType", "Icecast2")
        .Set("ServerMountpoint", "/live");
    return config;
}

StationConfig::Line* StationConfig::Find(const std::string& key) {
    for (Line& line : lines_) {
        if (!line.key.empty() && line.key == key) return &line;
    }
    return nullptr;
}

StationConfig& StationConfig::Set(const std::string& key, const std::string& value) {
    if (Line* line = Find(key)) {
        line->text = value;
    } else {
        lines_.push_back({key, value});
    }
    return *this;
}

StationConfig& StationConfig::SetOutput(const std::string& encode, int kbps, int sampleRate,
                                        int channelCount) {
    return Set("Encode", encode)
        .Set("BitrateNominal", kbps)
        .Set("Samplerate", sampleRate)
        .Set("NumberChannels", channelCount);
}

StationConfig& StationConfig::Remove(const std::string& key) {
    std::erase_if(lines_, [&](const Line& line) { return !line.key.empty() && line.key == key; });
    return *this;
}

StationConfig& StationConfig::AddRawLine(const std::string& line) {
    lines_.push_back({"", line});
    return *this;
}

std::string StationConfig::Get(const std::string& key) const {
    for (const Line& line : lines_) {
        if (!line.key.empty() && line.key == key) return line.text;
    }
    return "";
}

std::string StationConfig::Text() const {
    std::string text;
    for (const Line& line : lines_) {
        text += line.key.empty() ? line.text : line.key + "=" + line.text;
        text += "\n";
    }
    return text;
}

std::string StationConfig::Write(const std::string& path) const {
    WriteWholeFile(path, Text());
    return path;
}
