#include "tests/support/input_session.h"

#include <algorithm>
#include <mutex>

#include "common/log.h"
#include "common/run_control.h"
#include "common/status.h"
#include "decoders/aac_decoder.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/engine_session.h"

namespace {

std::mutex recordLock;  // sinks may be called from the Ogg decoder thread
std::vector<InputEvent> events;
std::uint64_t decodedFrames = 0;
int decodedRate = 0;
int decodedChannels = 0;
std::uint64_t inputBytes = 0;

void Record(const char* slot, const char* text) {
    std::lock_guard hold(recordLock);
    events.push_back({slot, text});
}

int RecordDecoded(const float*, int frameCount, int channelCount, int sampleRate) {
    std::lock_guard hold(recordLock);
    decodedFrames += static_cast<std::uint64_t>(frameCount);
    decodedRate = sampleRate;
    decodedChannels = channelCount;
    events.push_back({"decoded", std::to_string(sampleRate) + "/" + std::to_string(channelCount) +
                                     "/" + std::to_string(frameCount)});
    return 1;
}

void RecordInputBytes(std::uint64_t byteCount) {
    std::lock_guard hold(recordLock);
    inputBytes += byteCount;
}

#define RECORDING_SINK(slot) [](const char* text) { Record(#slot, text); }

void InstallRecordingSinks() {
    FrontEndSlots& slots = FrontEnd();
    slots.mainStatus = RECORDING_SINK(mainStatus);
    slots.inputStatus = RECORDING_SINK(inputStatus);
    slots.inputBytes = RecordInputBytes;
    slots.inputServerType = RECORDING_SINK(inputServerType);
    slots.inputStreamType = RECORDING_SINK(inputStreamType);
    slots.inputStreamUrl = RECORDING_SINK(inputStreamUrl);
    slots.inputStreamName = RECORDING_SINK(inputStreamName);
    slots.metadata = RECORDING_SINK(metadata);
    slots.inputBitrate = RECORDING_SINK(inputBitrate);
    slots.outputStatus = RECORDING_SINK(outputStatus);
    slots.outputStreamType = RECORDING_SINK(outputStreamType);
}

void ResetAll() {
    ResetInputState();
    ResetMp3Decoder();
    ResetAacDecoder();
    ResetVorbisDecoderState();
    ResetEngineState();
    ClearFrontEndSlots();
    ResetRunControl();
}

}  // namespace

void InputSessionTest::SetUp() {
    ResetAll();
    ResetLogger();
    SetLogLevel(LOG_DEBUG);
    SetLogPath(logDir_.file("input.log").c_str());
    {
        std::lock_guard hold(recordLock);
        events.clear();
        decodedFrames = 0;
        decodedRate = decodedChannels = 0;
        inputBytes = 0;
    }
    InstallRecordingSinks();
    Mp3Decoder().sampleConsumer = RecordDecoded;
    AacDecoder().sampleConsumer = RecordDecoded;
    VorbisDecoder().sampleConsumer = RecordDecoded;
}

void InputSessionTest::TearDown() {
    ResetAll();
    ResetLogger();
}

std::vector<InputEvent> InputSessionTest::Events() {
    std::lock_guard hold(recordLock);
    return events;
}

std::vector<std::string> InputSessionTest::Reported(const std::string& slot) {
    std::vector<std::string> texts;
    for (const InputEvent& event : Events()) {
        if (event.slot == slot) texts.push_back(event.text);
    }
    return texts;
}

std::uint64_t InputSessionTest::DecodedFrames() {
    std::lock_guard hold(recordLock);
    return decodedFrames;
}

int InputSessionTest::DecodedRate() {
    std::lock_guard hold(recordLock);
    return decodedRate;
}

int InputSessionTest::DecodedChannels() {
    std::lock_guard hold(recordLock);
    return decodedChannels;
}

std::uint64_t InputSessionTest::InputBytesReported() {
    std::lock_guard hold(recordLock);
    return inputBytes;
}

std::uint64_t InputSessionTest::BlockAudioArrived() {
    const InputState& input = Input();
    return static_cast<std::uint64_t>(input.MetaInterval) - input.audioLeftInBlock +
           input.ringBuffer.count();
}

bool InputSessionTest::FeedHeader(const std::vector<std::string>& lines) {
    std::vector<std::string> all = lines;
    all.emplace_back();
    for (std::string line : all) {
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) line += "\r\n";
        // Like libcurl, nothing more after a refused line.
        if (header_callback(line.data(), 1, line.size(), nullptr) != line.size()) return false;
    }
    return true;
}

bool InputSessionTest::StartBody() {
    char firstByte = '\0';
    return write_callback(&firstByte, 1, 1, nullptr) == 1;
}

std::size_t InputSessionTest::FeedBody(const std::string& bytes, std::size_t chunkBytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        // A private copy: the callbacks must not rely on a terminating zero.
        std::string chunk = bytes.substr(at, std::min(chunkBytes, bytes.size() - at));
        std::vector<char> exact(chunk.begin(), chunk.end());
        if (write_callback(exact.data(), 1, exact.size(), nullptr) != exact.size()) return at;
        at += exact.size();
    }
    return at;
}

void MockDestinationInputTest::SetUp() {
    InputSessionTest::SetUp();
    SetLogLevel(LOG_ERROR);
    destination_ = std::make_unique<MockServer>();
    destination_->SetReply("HTTP/1.0 200 OK\r\n\r\n");
    ConfigureDestination(ServerKind::kIcecast2, destination_->port());
    ConfigureMp3Output();
}

void MockDestinationInputTest::TearDown() {
    InputSessionTest::TearDown();
    destination_.reset();
}
