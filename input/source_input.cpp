// The run: connect the output, fetch the source in one blocking libcurl transfer, tear down.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/station_metrics.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "decoders/aac_decoder.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "engine/server_io.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

// libcurl calls this at least once a second, even while the source sends nothing, so a stop
// request (or a lost destination) ends a stalled transfer too; so do a stall and, on the backup
// source, the return of the primary.
int CheckStopRequest(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    if (TransferEndRequested()) return 1;
    return SourceTransferShouldEnd(Input()) ? 1 : 0;
}

// Stations move, and directories hand out per-listener URLs with tokens that expire: redirects
// are followed, from the configured URL on every transfer, never to another scheme. The header
// handling refuses a loop or a sixth redirect first, with the URL in the line; libcurl's limits
// only back it up.
void SetRedirectOptions(InputState& input, const char* url) {
    CurlEasy& curl = input.curlHandle;
    curl.set(CURLOPT_FOLLOWLOCATION, 1L);
    curl.set(CURLOPT_MAXREDIRS, static_cast<long>(RedirectTrail::kMaxRedirects));
    curl.set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    input.redirects.Start(url);
}

void SetTransferOptions(InputState& input, const char* url, const CurlHeaderList& requestHeaders) {
    CurlEasy& curl = input.curlHandle;
    curl.set(CURLOPT_URL, url);
    SetRedirectOptions(input, url);
    curl.set(CURLOPT_HTTPHEADER, requestHeaders.get());
    curl.set(CURLOPT_USERAGENT, "Winamp/2.x");
    curl.set(CURLOPT_WRITEFUNCTION, write_callback);
    curl.set(CURLOPT_HEADERFUNCTION, header_callback);
    // A relay that keeps its destination through outages measures a stall itself (no audio for
    // SourceTimeout seconds); otherwise a source under 20 bytes/s for 5 s ends the run.
    if (Engine().settings.sourceReconnect == 0) {
        curl.set(CURLOPT_LOW_SPEED_LIMIT, 20L);
        curl.set(CURLOPT_LOW_SPEED_TIME, 5L);
    }
    curl.set(CURLOPT_CONNECTTIMEOUT, 5L);
    // Progress calls are on: they are how a stop request reaches a transfer that receives nothing.
    curl.set(CURLOPT_NOPROGRESS, 0L);
    curl.set(CURLOPT_NOSIGNAL, 1L);
    // Shoutcast answers "ICY 200 OK": taken as an HTTP/0.9 response, its header arrives in the
    // body, where write_callback collects it.
    curl.set(CURLOPT_HTTP09_ALLOWED, 1L);
    curl.set(CURLOPT_XFERINFOFUNCTION, CheckStopRequest);
    input.curlError.fill('\0');
    curl.set(CURLOPT_ERRORBUFFER, input.curlError.data());
}

// libcurl's own words for a transfer it ended with an error; empty when it did not, or when a
// callback refused the transfer or a stop request ended it (accounted for already).
std::string TransferFailure(const InputState& input, CURLcode result) {
    if (result == CURLE_OK || input.transferRefused || TransferEndRequested()) return {};
    const char* reason =
        input.curlError[0] != '\0' ? input.curlError.data() : curl_easy_strerror(result);
    return PrintableText(reason);
}

// A failed transfer, at the URL it had reached (a redirect target's is the one an operator needs).
void ReportTransferFailure(const InputState& input, const std::string& failure) {
    if (failure.empty()) return;
    LogMessage(LOG_ERROR, kLogInput, __LINE__, "Source transfer from %s failed: %s",
               MaskedUrl(input.url).c_str(), failure.c_str());
}

}  // namespace

TransferOutcome RunHttpTransfer(InputState& input, const char* url) {
    CurlHeaderList requestHeaders;
    requestHeaders.append("Icy-MetaData:1");
    if (!input.curlHandle) input.curlHandle = CurlEasy();
    input.url = url;
    SetTransferOptions(input, url, requestHeaders);

    Report(FrontEnd().inputStreamUrl, MaskedUrl(url).c_str());
    Report(FrontEnd().mainStatus, "Connecting To Input");
    Report(FrontEnd().inputStatus, "Connecting...");
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Resetting transcoder\n");
    ResetHeaderState(input);
    input.headerLength = 0;
    input.droppingForOutage = false;
    input.transferRefused = false;
    input.transferEnd = TransferEnd::kNone;
    input.audioArrived = false;
    input.transferStart = std::chrono::steady_clock::now();
    input.lastByteAt = input.transferStart;

    // Blocks for the whole transfer. However it ends (source finished, stalled, unreachable,
    // refused by a callback), the teardown is the same; the destination stays with the output
    // loop.
    const CURLcode result = curl_easy_perform(input.curlHandle.get());
    StationMetrics().NoteSourceUp(false);
    TransferOutcome outcome;
    outcome.result = result;
    outcome.end = input.transferEnd;
    outcome.audioArrived = input.audioArrived;
    outcome.refused = input.transferRefused;
    if (input.transferEnd == TransferEnd::kNone) {
        outcome.failure = TransferFailure(input, result);
        ReportTransferFailure(input, outcome.failure);
    }

    FinishTransfer(input, BufferedRestUnwanted(input));
    // Once the decoders are finished, every block of the transfer has been noted.
    const auto lastAudio = LastRelayableAudio();
    outcome.audioRelayed = lastAudio >= input.transferStart;
    if (outcome.audioRelayed) outcome.relayed = lastAudio - input.transferStart;
    requestHeaders.reset();
    input.ringBuffer.release();
    input.audioBlock.reset();
    input.curlHandle.reset();
    return outcome;
}

namespace {

// How a source that the run ends with ended, in words: "the source URL closed the stream after
// 125 s relayed". With the URL the run was configured with; the Error lines before name a
// redirect target where one was reached.
std::string SourceEndReason(const char* url, const TransferOutcome& outcome) {
    std::string how;
    if (outcome.end == TransferEnd::kNoAudio) {
        how =
            "gave no audio that can be relayed for " + std::to_string(kNoAudioLimit.count()) + " s";
    } else if (!outcome.failure.empty()) {
        how = "failed (" + outcome.failure + ")";
    } else if (outcome.refused) {
        how = "was given up (the Error line before says why)";
    } else {
        how = "closed the stream";
    }
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(outcome.relayed).count();
    const std::string relayed = outcome.audioRelayed
                                    ? "after " + std::to_string(seconds) + " s relayed"
                                    : "before any audio was relayed";
    return "the source " + MaskedUrl(url) + " " + how + " " + relayed;
}

// The run ends when the source ends (without SourceReconnect), or when the destination is lost
// for good; a stop request ends it as asked.
RunEnd EndOfRelay(const char* url, const TransferOutcome* sourceOutcome) {
    if (StopRequested()) return {};
    if (Control().destinationLost.load()) {
        return {
            "the connection to the destination was lost and is not reconnected "
            "(AutomaticReconnect=0)"};
    }
    if (sourceOutcome == nullptr) return {};
    return {SourceEndReason(url, *sourceOutcome)};
}

RunEnd RunLineIn() {
    if (OpenLineInDevice() == 0) {
        Report(FrontEnd().inputStatus, "Fail to open input device");
        return {"the line-in device " + PrintableText(Engine().settings.lineInDevice.view()) +
                " could not be set up"};
    }
    Report(FrontEnd().inputStatus, "Input device opened...");
    Report(FrontEnd().inputStatus, "Recording from linein");
    Report(FrontEnd().inputServerType, "Line-In");
    Report(FrontEnd().inputStreamType, "PCM");
    char description[256];
    std::snprintf(description, sizeof description, "%dHz/Stereo PCM", GetLineInSampleRate());
    Report(FrontEnd().inputBitrate, description);
    // A live input has no titles of its own: the listeners see the station's description.
    SetCurrentTitle(GetServerDescription());
    // The run ends here without a disconnect: the title gets its chance to go out first.
    FinishAdminRequests();
    SetSourceDescription(description);
    return {};
}

}  // namespace

bool TransferEndRequested() {
    return StopRequested() || Control().destinationLost.load();
}

bool BufferedRestUnwanted(const InputState& input) {
    return TransferEndRequested() || input.transferEnd == TransferEnd::kNoAudio ||
           input.transferEnd == TransferEnd::kDeadAir;
}

void FinishTransfer(InputState& input, bool dropRest) {
    if (input.inputIsVorbis) {
        // The thread gets the buffered rest (or, when it is unwanted, nothing more), then the end.
        if (dropRest) {
            input.oggSource.Abandon();
        } else {
            input.oggSource.Finish();
        }
        JoinVorbisDecoder();
        input.vorbisDecoderRunning = false;
    } else if (input.headerDone) {
        if (!dropRest) {
            DrainMp3Blocks(input);
            mp3_decoder_flush(&Mp3Decoder());
            aac_decoder_flush(&AacDecoder());
        }
        mp3_decoder_finish(&Mp3Decoder());
        aac_decoder_finish(&AacDecoder());
    }
    // The output loop ends the encoder itself when the run ends; without it, this is the end.
    if (!OutputLoopRunning()) FlushEncoder();
}

int StartTranscoding() {
    // The stop request is not cleared here: one set already is a SIGINT/SIGTERM that arrived during
    // start-up, and the run must honour it rather than relay until a second signal kills the
    // process.
    Report(FrontEnd().mainStatus, "Connecting To Output Stream");
    // Before any thread may start a transfer of its own (the primary's probe).
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Every run that was not stopped says why it ended, on standard error too: under a
    // supervisor the next line is a restart.
    const RunEnd end = RunInput(GetSourceUrl());
    if (end.Failed()) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__, "The run ends: %s", end.reason.c_str());
    }
    return 1;
}

RunEnd RunInput(const char* url) {
    InputState& input = Input();
    std::memset(input.headerBuffer.data(), 0, kHeaderBufferBytes - 2);
    input.headerLength = 0;
    if (ConnectToServer() == 0) {
        // A stop during the login is no failure: the engine has said so at Info level.
        if (StopRequested()) return {};
        Report(FrontEnd().mainStatus, "Failed Connecting To Output Stream");
        return {
            "Failed Connecting To Output Stream: with no destination to relay to, the source "
            "is not fetched"};
    }
    RunEnd end;
    if (std::strcmp(url, "linein") == 0) {
        end = RunLineIn();
    } else {
        StartOutputLoop();
        if (Engine().settings.sourceReconnect != 0) {
            RunSourcesUntilStopped(input, url);
            end = EndOfRelay(url, nullptr);
        } else {
            const TransferOutcome outcome = RunHttpTransfer(input, url);
            end = EndOfRelay(url, &outcome);
        }
        FinishOutputLoop(BufferedRestUnwanted(input));
    }
    Report(FrontEnd().mainStatus, "Done");
    return end;
}
