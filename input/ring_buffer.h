// The byte queue between the source transfer and the decoders.
//
// One writer (write_callback on the main thread) and one reader (the MP3 path on the same thread,
// or the Ogg decoder thread). The writer moves only writePos, the reader only readPos;
// `count` is the one value both change, and the only signal between them. The writer stores its
// bytes before it counts them (release), the reader copies bytes out before it uncounts them, so
// neither side ever touches a slot the other still owns. No lock is taken.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Result codes of the operations that move bytes.
enum RingResult : int { kRingNoStorage = 0, kRingDone = 1, kRingFull = 2, kRingEmpty = 3 };

class RingBuffer {
  public:
    RingBuffer() = default;
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // Allocates capacity bytes (replacing any storage held). 0 for a capacity of 0 or a failed
    // allocation, which leave the buffer without storage; 1 otherwise.
    int create(std::uint64_t capacity);
    // Frees the storage; every write then reports full and every read no storage.
    void release();

    // Copies as many of the bytes as fit; kRingFull when not all did (kRingFull without storage).
    int write(const void* bytes, std::size_t byteCount);
    // Copies up to byteCount bytes out; kRingEmpty when fewer were held, kRingNoStorage without
    // storage. The bytes delivered are consumed either way.
    int read(void* dest, std::size_t byteCount);
    // Like read, but reports how many bytes were copied (0 without storage).
    std::size_t readSome(void* dest, std::size_t byteCount);
    // The byte `offset` places after the next one to be read, without consuming anything.
    // False when fewer than offset + 1 bytes are held. Reader side only.
    bool peek(std::size_t offset, unsigned char& byte) const;

    std::uint64_t count() const { return count_.load(std::memory_order_acquire); }
    std::uint64_t capacity() const { return capacity_; }
    bool hasStorage() const { return storage_ != nullptr; }

  private:
    std::unique_ptr<unsigned char[]> storage_;
    std::uint64_t capacity_ = 0;
    std::uint64_t writePos_ = 0;  // index of the byte written last (writer only)
    std::uint64_t readPos_ = 0;   // index of the byte read last (reader only)
    std::atomic<std::uint64_t> count_{0};
};
