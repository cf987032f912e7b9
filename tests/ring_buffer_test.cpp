#include "input/ring_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "input/ring_source.h"

namespace {

std::string ReadString(RingBuffer& ring, std::size_t byteCount, int& result) {
    std::string out(byteCount, '\0');
    const std::uint64_t before = ring.count();
    result = ring.read(out.data(), byteCount);
    out.resize(static_cast<std::size_t>(before - ring.count()));
    return out;
}

TEST(RingBufferTest, WriteStopsWhenFullAndReadWhenEmpty) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(4), kRingDone);
    EXPECT_EQ(ring.write("abcdef", 6), kRingFull);
    EXPECT_EQ(ring.count(), 4u);
    int result = 0;
    EXPECT_EQ(ReadString(ring, 6, result), "abcd");
    EXPECT_EQ(result, kRingEmpty);
    EXPECT_EQ(ring.count(), 0u);
}

TEST(RingBufferTest, WrapsAroundTheEndOfTheStorage) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(5), kRingDone);
    int result = 0;
    ASSERT_EQ(ring.write("xyz", 3), kRingDone);
    ASSERT_EQ(ReadString(ring, 3, result), "xyz");
    // Every split of a write and a read across the end of the storage.
    for (int round = 0; round < 7; ++round) {
        const std::string bytes = std::string("abcd").substr(0, 1 + round % 4);
        ASSERT_EQ(ring.write(bytes.data(), bytes.size()), kRingDone) << round;
        EXPECT_EQ(ReadString(ring, bytes.size(), result), bytes) << round;
        EXPECT_EQ(result, kRingDone);
    }
}

TEST(RingBufferTest, ZeroByteOperationsChangeNothing) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(3), kRingDone);
    ring.write("q", 1);
    EXPECT_EQ(ring.write("", 0), kRingDone);
    char byte = 0;
    EXPECT_EQ(ring.read(&byte, 0), kRingDone);
    EXPECT_EQ(ring.count(), 1u);
}

TEST(RingBufferTest, WithoutStorageWritesAreFullAndReadsHaveNoStorage) {
    RingBuffer ring;
    EXPECT_EQ(ring.create(0), kRingNoStorage);
    EXPECT_EQ(ring.write("a", 1), kRingFull);
    char byte = 0;
    EXPECT_EQ(ring.read(&byte, 1), kRingNoStorage);

    ASSERT_EQ(ring.create(8), kRingDone);
    ring.write("abc", 3);
    ring.release();
    EXPECT_FALSE(ring.hasStorage());
    EXPECT_EQ(ring.count(), 0u);
    EXPECT_EQ(ring.write("a", 1), kRingFull);
}

TEST(RingBufferTest, PeekLooksAheadWithoutConsuming) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(4), kRingDone);
    ring.write("ab", 2);
    int result = 0;
    ReadString(ring, 2, result);
    ring.write("wxyz", 4);  // wraps
    unsigned char byte = 0;
    ASSERT_TRUE(ring.peek(3, byte));
    EXPECT_EQ(byte, 'z');
    EXPECT_FALSE(ring.peek(4, byte));
    EXPECT_EQ(ring.count(), 4u);
}

// A writer and a reader on two threads: every byte arrives once and in order, and the count is
// never beyond the capacity (the sanitizer builds check the ordering of the count).
TEST(RingBufferTest, OneWriterAndOneReaderThreadKeepTheOrder) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(97), kRingDone);
    RingByteSource source(ring);
    constexpr std::size_t kTotal = 200000;
    std::vector<unsigned char> received;
    std::thread reader([&] {
        unsigned char piece[61];
        for (;;) {
            const std::size_t got = source.Read(piece, sizeof piece);
            received.insert(received.end(), piece, piece + got);
            if (got < sizeof piece) return;
        }
    });
    std::size_t written = 0;
    while (written < kTotal) {
        unsigned char piece[37];
        const std::size_t want = std::min(sizeof piece, kTotal - written);
        for (std::size_t i = 0; i < want; ++i)
            piece[i] = static_cast<unsigned char>((written + i) % 251);
        const std::uint64_t before = ring.count();
        ASSERT_LE(before, ring.capacity());
        if (ring.capacity() - before < want) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(ring.write(piece, want), kRingDone);
        // As the stream body does: without it the reader only looks again after its longest
        // wait, and the 200000 bytes take minutes.
        source.NotifyWritten();
        written += want;
    }
    source.Finish();
    reader.join();
    ASSERT_EQ(received.size(), kTotal);
    for (std::size_t i = 0; i < kTotal; ++i) ASSERT_EQ(received[i], i % 251) << i;
}

TEST(RingByteSourceTest, FinishedSourceGivesTheRestThenNothing) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(16), kRingDone);
    RingByteSource source(ring);
    ring.write("hello", 5);
    source.Finish();
    char out[8] = {};
    EXPECT_EQ(source.Read(out, 8), 5u);
    EXPECT_EQ(std::string(out, 5), "hello");
    EXPECT_EQ(source.Read(out, 8), 0u);
}

TEST(RingByteSourceTest, AbandonedSourceGivesNothing) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(16), kRingDone);
    RingByteSource source(ring);
    ring.write("hello", 5);
    source.Abandon();
    char out[8] = {};
    EXPECT_EQ(source.Read(out, 2), 0u);
}

TEST(RingByteSourceTest, ReadWaitsForTheWholeRequest) {
    RingBuffer ring;
    ASSERT_EQ(ring.create(16), kRingDone);
    RingByteSource source(ring);
    ring.write("ab", 2);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ring.write("cd", 2);
        source.NotifyWritten();
    });
    char out[4] = {};
    EXPECT_EQ(source.Read(out, 4), 4u);
    writer.join();
    EXPECT_EQ(std::string(out, 4), "abcd");
}

}  // namespace
