// The configuration store: an in-memory table of key=value entries read from, and written back to,
// a self-documenting text file.
//
// Every lookup supplies a default and a one-line description. A key the file lacks is appended with
// its default, and every looked-up key takes the caller's description, so writing the table back
// produces a complete, commented file. Which keys exist is the business of the settings catalogue
// (engine/settings_catalogue.cpp); the store knows nothing about individual keys, only which keys
// the reader must always find room for.
//
// File format: "#" in the first column starts a comment line; a line with "=" defines an entry
// (key before the first "=", value after it, nothing trimmed but the carriage returns at the end
// of the line); every other line is ignored. A line is at most kConfigLineCharacters long and holds
// no NUL byte: a file with a longer line, or with a NUL, is refused whole, since reading such a
// line in pieces would make its tail a line of its own (and a value could set another key). Each
// entry is written as the five lines "#", "#<description>", "#", "<key>=<value>" and an empty one.
//
// Threads: main thread only, before the input run starts. Nothing here takes a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/fixed_text.h"

struct ConfigEntry {
    FixedText<256> key;           // compared exactly and case-sensitively
    FixedText<256> value;         // integers in decimal
    FixedText<1024> description;  // empty for keys read from the file until a lookup supplies one
    std::int32_t line = 0;        // the file's line it was read from; 0 when not read from a file
    // Characters of the value as given, the carriage returns at its end left out: more than
    // value holds when it did not fit.
    std::int32_t valueLength = 0;
};

inline constexpr int kConfigTableCapacity = 100;
// The longest line the reader takes, its line end ("\n", and "\r" before it) left out.
inline constexpr int kConfigLineCharacters = 1022;

struct ConfigTable {
    // The entries in use are the first entryCount, in the order in which they were added.
    std::array<ConfigEntry, kConfigTableCapacity> entries;
    std::int32_t entryCount = 0;
    // Entries of the file that found no room (see ReadConfigEntries), and the line of the first.
    std::int32_t entriesWithoutRoom = 0;
    std::int32_t firstLineWithoutRoom = 0;
};

// The process-wide table.
ConfigTable& Config();
// No entries. Used before a file is read, and by tests.
void ResetConfigTable();

// The lookup used for every key: the value of the first entry with this key, which then takes the
// given description; without one, the default, appended as a new entry. When the table is full the
// caller still gets the default, but nothing is added (and an Error line is logged). The result
// stays valid until the table changes or, when it is the default, as long as the default does.
std::string_view GetConfigValue(const char* key, const char* defaultValue, const char* description);

// The same lookup, copied into a text field. Returns the field's text; a value longer than the
// field is cut to fit (the settings catalogue refuses such a value before it is used).
template <std::size_t N>
const char* GetConfigValue(const char* key, const char* defaultValue, const char* description,
                           FixedText<N>& destination) {
    destination.assign(GetConfigValue(key, defaultValue, description));
    return destination.c_str();
}

// Integer form of the lookup: the default is kept as decimal text, and the value found is converted
// the way atol does (leading blanks and a sign accepted, conversion stops at the first non-digit,
// no digits give 0; out-of-range values saturate instead of being undefined).
long GetConfigInt(const char* key, std::int32_t defaultValue, const char* description);

// Replace the value of the first entry with this key, keeping its description; without one, append
// the key with an empty description. Return 1, or 0 when the table was full.
int SetConfigValue(const char* key, const char* value);
int SetConfigInt(const char* key, std::int32_t value);

// The first entry with this key, nullptr when there is none.
const ConfigEntry* FindConfigEntry(std::string_view key);

// Append the key=value lines of a file to the table, each with its line number. The keys in
// keysAlwaysRead always find room: the table keeps a place for each of them that it does not hold
// yet, so other entries (other keys, and a key's repetitions) take only the places left; those
// beyond are counted in entriesWithoutRoom, not added.
// Return 1; 0 (errno says why) when the file cannot be opened or read; -1, with an Error line
// naming the line, when a line is longer than kConfigLineCharacters or holds a NUL byte: nothing
// is added from such a file.
int ReadConfigEntries(const char* path, std::span<const char* const> keysAlwaysRead = {});
// Write the whole table to a file, replacing it. Return 1, or 0 (errno says why) when it cannot be
// opened or written completely.
int WriteConfigEntries(const char* path);

// One Debug log line "(key) = (value)" per entry.
void DumpConfig();
