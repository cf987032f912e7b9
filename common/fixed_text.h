// A NUL-terminated text field of a fixed byte size.
//
// Many of the system's texts (settings, titles, descriptions) live in fields whose size is part of
// the design: a field of N bytes holds at most N - 1 characters. FixedText keeps that limit in the
// type. Every write goes through assign/append, which never write past the field and report when a
// value had to be cut, so truncation is always visible at the call site.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

template <std::size_t N>
class FixedText {
    static_assert(N >= 1, "a text field needs room for its terminating zero");

public:
    static constexpr std::size_t kCapacity = N - 1;  // characters, without the terminating zero

    FixedText() { bytes_.fill('\0'); }
    FixedText(std::string_view text) : FixedText() { assign(text); }  // NOLINT: implicit on purpose

    // Replaces the content. Returns false when the text was cut to fit the field.
    bool assign(std::string_view text) {
        const std::size_t kept = text.size() < kCapacity ? text.size() : kCapacity;
        std::memcpy(bytes_.data(), text.data(), kept);
        std::memset(bytes_.data() + kept, 0, N - kept);
        return kept == text.size();
    }

    // Appends to the content. Returns false when the text was cut to fit the field.
    bool append(std::string_view text) {
        const std::size_t used = size();
        const std::size_t room = kCapacity - used;
        const std::size_t kept = text.size() < room ? text.size() : room;
        std::memcpy(bytes_.data() + used, text.data(), kept);
        bytes_[used + kept] = '\0';
        return kept == text.size();
    }

    void clear() { bytes_.fill('\0'); }

    const char* c_str() const { return bytes_.data(); }
    std::string_view view() const { return std::string_view(bytes_.data(), size()); }
    std::size_t size() const { return strnlen(bytes_.data(), kCapacity); }
    bool empty() const { return bytes_[0] == '\0'; }

    // Raw access for C interfaces that fill the field themselves; the last byte stays zero.
    char* data() { return bytes_.data(); }
    static constexpr std::size_t byteSize() { return N; }

    friend bool operator==(const FixedText& a, std::string_view b) { return a.view() == b; }

private:
    std::array<char, N> bytes_;
};
