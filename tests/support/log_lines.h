// Reading log files and captured output in tests: lines, the time stamp of a log line, and
// messages with their changing parts (line numbers, counters) made comparable.
#pragma once

#include <cctype>
#include <string>
#include <string_view>
#include <vector>

// True when `wanted` appears in `seen` in order, other items between allowed (titles a listener
// saw, where a player may see a title more than once or one skipped by design).
inline bool IsSubsequence(const std::vector<std::string>& wanted,
                          const std::vector<std::string>& seen) {
    std::size_t next = 0;
    for (const std::string& item : seen) {
        if (next < wanted.size() && item == wanted[next]) ++next;
    }
    return next == wanted.size();
}

// How often `part` appears in `text` (overlaps included).
inline std::size_t OccurrencesOf(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// True when the text is `before`, one or more decimal digits, and `after`.
inline bool MatchesNumbered(std::string_view text, std::string_view before,
                            std::string_view after) {
    if (text.size() <= before.size() + after.size()) return false;
    if (text.substr(0, before.size()) != before) return false;
    if (text.substr(text.size() - after.size()) != after) return false;
    for (const char c : text.substr(before.size(), text.size() - before.size() - after.size())) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// "MM/DD/YY HH:MM:SS " at the start of a log line.
inline bool HasLogTimestamp(std::string_view line) {
    constexpr std::string_view kShape = "00/00/00 00:00:00 ";
    if (line.size() < kShape.size()) return false;
    for (std::size_t at = 0; at < kShape.size(); ++at) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[at])) != 0;
        if (kShape[at] == '0' ? !digit : line[at] != kShape[at]) return false;
    }
    return true;
}

// A log line without its time stamp and with the source line number as "N":
// "Info(commandline:N): Main Status : (Connected)". Lines without a time stamp come back marked.
inline std::string LogMessageOf(std::string_view line) {
    if (!HasLogTimestamp(line)) return "MALFORMED: " + std::string(line);
    std::string message(line.substr(18));
    const std::size_t colon = message.find(':');
    const std::size_t close = message.find("): ");
    if (colon != std::string::npos && close != std::string::npos && colon < close) {
        message.replace(colon + 1, close - colon - 1, "N");
    }
    return message;
}

inline std::vector<std::string> LogMessagesOf(const std::string& text) {
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(text)) messages.push_back(LogMessageOf(line));
    return messages;
}

// The Error lines of a log, as messages (see LogMessageOf).
inline std::vector<std::string> ErrorMessagesOf(const std::string& text) {
    std::vector<std::string> errors;
    for (const std::string& message : LogMessagesOf(text)) {
        if (message.starts_with("Error(")) errors.push_back(message);
    }
    return errors;
}

// The line a run ends with when its source closed the stream (shown as `shownUrl`) after audio
// was relayed: "... after N s relayed".
inline bool IsClosedSourceRunEnd(std::string_view message, std::string_view shownUrl) {
    return MatchesNumbered(message,
                           "Error(ziravorov:N): The run ends: the source " + std::string(shownUrl) +
                               " closed the stream after ",
                           " s relayed");
}
