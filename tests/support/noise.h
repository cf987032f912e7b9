// Deterministic pseudo-random bytes for the hostile-input tests: a fixed seed gives the same bytes
// on every run, so a failure can be reproduced from the seed in its trace.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

class Noise {
  public:
    explicit Noise(std::uint32_t seed) : engine_(seed) {}

    // 0 to bound - 1.
    std::size_t Below(std::size_t bound) { return static_cast<std::size_t>(engine_() % bound); }
    bool OneIn(std::size_t n) { return Below(n) == 0; }

    std::string Bytes(std::size_t count) {
        std::string bytes(count, '\0');
        for (char& byte : bytes) byte = static_cast<char>(engine_() & 0xFF);
        return bytes;
    }

    std::string From(std::string_view alphabet, std::size_t count) {
        std::string text(count, '\0');
        for (char& c : text) c = alphabet[Below(alphabet.size())];
        return text;
    }

    // One of the pieces.
    template <typename Piece, std::size_t N>
    const Piece& Pick(const Piece (&pieces)[N]) {
        return pieces[Below(N)];
    }

    // A chunk size as libcurl and hostile servers produce them: mostly a few KiB, sometimes a
    // single byte, sometimes far more than any buffer holds.
    std::size_t ChunkSize() {
        switch (Below(8)) {
            case 0:
                return 1;
            case 1:
                return 1 + Below(16);
            case 2:
                return 16 * 1024;
            case 3:
                return 1536 * 1024;
            default:
                return 1 + Below(6000);
        }
    }

    // Chunk sizes libcurl itself delivers: at most 16 KiB.
    std::size_t CurlChunkSize() { return std::min<std::size_t>(ChunkSize(), 16 * 1024); }

  private:
    std::mt19937 engine_;
};
