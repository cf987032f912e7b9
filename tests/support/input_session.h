// Test support for the source input: a fixture that resets the input, the decoders, the engine,
// the front-end slots and the logger around every test, records every status text reported on
// the front-end slots and every decoded block, in one ordered list of events, and feeds
// header lines and body bytes to the libcurl callbacks directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/mock_server.h"
#include "tests/support/temp_dir.h"

struct InputEvent {
    std::string slot;  // "mainStatus", "metadata", ...; "decoded" for a block of samples
    std::string text;  // the status text; for "decoded": "<rate>/<channels>/<frames>"
};

class InputSessionTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Every event since SetUp, in order.
    static std::vector<InputEvent> Events();
    // The texts reported on one slot, in order.
    static std::vector<std::string> Reported(const std::string& slot);
    // Decoded blocks: total frames, and the last block's rate and channel count.
    static std::uint64_t DecodedFrames();
    static int DecodedRate();
    static int DecodedChannels();
    static std::uint64_t InputBytesReported();
    // Audio bytes of the current block that have arrived: those handed to the decoder and those
    // still buffered (while no metadata text is buffered).
    static std::uint64_t BlockAudioArrived();

    // Hands each line to header_callback (a line ending is added when it has none); the blank
    // line that ends the header is sent too. True when every line was accepted; nothing is sent
    // after a refused line.
    static bool FeedHeader(const std::vector<std::string>& lines);
    // The first body byte (a zero byte), which sets up what the header announced. True when
    // accepted.
    static bool StartBody();
    // Hands the bytes to write_callback in chunks of chunkBytes. Returns the number of bytes
    // accepted before the first refused chunk (all of them when none was refused).
    static std::size_t FeedBody(const std::string& bytes, std::size_t chunkBytes);

    std::string LogText() const { return ReadWholeFile(logDir_.file("input.log")); }

    TempDir logDir_;
};

// An input session whose output goes to a mock Icecast2 destination that accepts the login, as
// MP3; only Error lines are logged, which is what an operator sees at the default level.
class MockDestinationInputTest : public InputSessionTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<MockServer> destination_;
};
