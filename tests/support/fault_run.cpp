#include "tests/support/fault_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "tests/support/audio_check.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/wait_until.h"

namespace {

constexpr const char* kConfigFile = "transcode.conf";

// The environment that makes the program load the descriptor listing, which writes its list into
// the directory as it exits. A sanitized program wants its runtime first; the listing does not
// touch its memory.
std::vector<std::string> DescriptorListingEnvironment(const std::string& directory) {
    return {"TRANSCODE_EXIT_DESCRIPTORS=" + directory,
            std::string("LD_PRELOAD=") + EXIT_DESCRIPTORS_LIBRARY,
            "ASAN_OPTIONS=verify_asan_link_order=0"};
}

}  // namespace

StationConfig FaultRunSettings(const TempDir& dir, const std::string& sourceUrl, uint16_t port) {
    std::filesystem::create_directories(dir.file("archives"));
    return StationConfig::LoopbackRelay(sourceUrl, port)
        .SetOutput("LAME")
        .Set("LameQuality", 7)
        .Set("AutomaticReconnect", 0)
        .Set("SaveDirectoryFlag", 1)
        .Set("SaveDirectory", dir.file("archives"))
        .Set("LogLevel", 2)
        .Set("LogFile", dir.file("transcode.log"));
}

// The descriptors of this process that a program it starts inherits (those without close-on-exec),
// as "number target".
std::vector<std::string> InheritedDescriptors() {
    std::vector<std::string> inherited;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int number = std::atoi(entry.path().filename().c_str());
        const int flags = fcntl(number, F_GETFD);
        if (flags < 0 || (flags & FD_CLOEXEC) != 0) continue;
        std::error_code failed;
        const auto target = std::filesystem::read_symlink(entry.path(), failed);
        inherited.push_back(std::to_string(number) + " " + target.string());
    }
    return inherited;
}

FaultRun::FaultRun(const TempDir& dir, const StationConfig& settings, int timeoutMs)
    : dir_(dir), inherited_(InheritedDescriptors()) {
    settings.Write(dir.file(kConfigFile));
    std::filesystem::create_directories(dir.file("descriptors"));
    run_ = std::make_unique<BackgroundTranscode>(
        TRANSCODE_BINARY, dir.path(), kConfigFile, timeoutMs,
        DescriptorListingEnvironment(dir.file("descriptors")));
}

std::chrono::steady_clock::duration FaultRun::Terminate() {
    const pid_t pid = Pid();
    EXPECT_GT(pid, 0);
    const auto signalled = std::chrono::steady_clock::now();
    if (pid > 0) kill(pid, SIGTERM);
    Finish();
    return std::chrono::steady_clock::now() - signalled;
}

bool FaultRun::WaitForLog(const std::string& text, int timeoutMs) const {
    return WaitUntil(
        [&] { return ReadWholeFile(dir_.file("transcode.log")).find(text) != std::string::npos; },
        timeoutMs);
}

std::vector<std::string> FaultRun::LeftOpen() {
    const pid_t pid = Pid();
    Finish();
    const std::string path = dir_.file("descriptors") + "/" + std::to_string(pid);
    if (!std::filesystem::exists(path)) return {"no listing"};
    std::istringstream listing(ReadWholeFile(path));
    std::vector<std::string> open;
    for (std::string line; std::getline(listing, line);) {
        const int number = std::atoi(line.c_str());
        if (number <= 2 || line.ends_with(" " + dir_.file("transcode.log"))) continue;
        if (std::find(inherited_.begin(), inherited_.end(), line) != inherited_.end()) continue;
        open.push_back(line);
    }
    return open;
}

std::string FaultRun::Shown() {
    return ::Shown(Finish());
}

std::vector<std::size_t> StreamConnections(const MockServer& destination) {
    std::vector<std::size_t> streams;
    for (std::size_t i = 0; i < destination.ConnectionCount(); ++i) {
        if (destination.Received(i).starts_with("SOURCE ")) streams.push_back(i);
    }
    return streams;
}

bool WaitForStreamConnections(const MockServer& destination, std::size_t count, int timeoutMs) {
    return WaitUntil([&] { return StreamConnections(destination).size() >= count; }, timeoutMs);
}

std::vector<std::string> ArchiveFiles(const TempDir& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("archives"))) {
        files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

std::size_t LastFrameWithin(const std::vector<std::size_t>& frames, std::size_t size) {
    std::size_t last = 0;
    for (std::size_t offset : frames) {
        if (offset < size) last = offset;
    }
    return last;
}

}  // namespace

void ExpectWholeMp3Archive(const std::string& path, const std::string& sent) {
    const std::string archive = ReadWholeFile(path);
    EXPECT_EQ(archive.substr(0, sent.size()), sent) << path << ": not what the destination read";
    EXPECT_GT(DecodeMp3(archive).frameCount(), 0u) << path << ": " << archive.size() << " bytes";
    // Whole frames from the first byte to the last: walking the frames of the archive followed
    // by itself lands exactly on the start of the copy.
    const std::vector<std::size_t> frames = Mp3FrameOffsets(archive + archive);
    EXPECT_TRUE(!frames.empty() && frames.front() == 0 &&
                std::find(frames.begin(), frames.end(), archive.size()) != frames.end())
        << path << ": a cut frame in " << archive.size() << " bytes; frames begin at "
        << (frames.empty() ? 0 : frames.front()) << ", the last within it at "
        << LastFrameWithin(frames, archive.size());
}
