#include "input/ring_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

int RingBuffer::create(std::uint64_t capacity) {
    release();
    if (capacity == 0) return kRingNoStorage;
    storage_.reset(new (std::nothrow) unsigned char[capacity]);
    if (storage_ == nullptr) return kRingNoStorage;
    capacity_ = capacity;
    writePos_ = capacity - 1;
    readPos_ = capacity - 1;
    count_.store(0, std::memory_order_release);
    return kRingDone;
}

void RingBuffer::release() {
    storage_.reset();
    capacity_ = 0;
    writePos_ = 0;
    readPos_ = 0;
    count_.store(0, std::memory_order_release);
}

int RingBuffer::write(const void* bytes, std::size_t byteCount) {
    if (storage_ == nullptr) return kRingFull;
    const std::uint64_t room = capacity_ - count_.load(std::memory_order_acquire);
    const std::uint64_t stored = std::min<std::uint64_t>(byteCount, room);
    if (stored == 0) return byteCount == 0 ? kRingDone : kRingFull;

    // Up to two pieces: from the slot after writePos to the end of the storage, then from 0.
    const std::uint64_t start = (writePos_ + 1) % capacity_;
    const std::uint64_t firstPiece = std::min(stored, capacity_ - start);
    const auto* source = static_cast<const unsigned char*>(bytes);
    std::memcpy(storage_.get() + start, source, firstPiece);
    std::memcpy(storage_.get(), source + firstPiece, stored - firstPiece);
    writePos_ = (start + stored - 1) % capacity_;

    count_.fetch_add(stored, std::memory_order_release);  // publish only what is stored
    return stored == byteCount ? kRingDone : kRingFull;
}

std::size_t RingBuffer::readSome(void* dest, std::size_t byteCount) {
    if (storage_ == nullptr) return 0;
    const std::uint64_t held = count_.load(std::memory_order_acquire);
    const std::uint64_t taken = std::min<std::uint64_t>(byteCount, held);
    if (taken == 0) return 0;

    const std::uint64_t start = (readPos_ + 1) % capacity_;
    const std::uint64_t firstPiece = std::min(taken, capacity_ - start);
    auto* target = static_cast<unsigned char*>(dest);
    std::memcpy(target, storage_.get() + start, firstPiece);
    std::memcpy(target + firstPiece, storage_.get(), taken - firstPiece);
    readPos_ = (start + taken - 1) % capacity_;

    count_.fetch_sub(taken, std::memory_order_release);  // hand the slots back after copying
    return static_cast<std::size_t>(taken);
}

int RingBuffer::read(void* dest, std::size_t byteCount) {
    if (storage_ == nullptr) return kRingNoStorage;
    return readSome(dest, byteCount) == byteCount ? kRingDone : kRingEmpty;
}

bool RingBuffer::peek(std::size_t offset, unsigned char& byte) const {
    if (storage_ == nullptr || count() <= offset) return false;
    byte = storage_[(readPos_ + 1 + offset) % capacity_];
    return true;
}
