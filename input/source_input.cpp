// The run: connect the output, fetch the source in one blocking libcurl transfer, tear down.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
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
    if (Engine().sourceReconnect == 0) {
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

// A transfer that libcurl ended with an error, in libcurl's own words, at the URL it had reached
// (a redirect target's is the one an operator needs). A transfer that a callback refused, or a
// stop request ended, has been accounted for already.
void ReportTransferFailure(const InputState& input, CURLcode result) {
    if (result == CURLE_OK || input.transferRefused || TransferEndRequested()) return;
    const char* reason =
        input.curlError[0] != '\0' ? input.curlError.data() : curl_easy_strerror(result);
    LogMessage(LOG_ERROR, kLogInput, __LINE__, "Source transfer from %s failed: %s",
               PrintableText(input.url).c_str(), PrintableText(reason).c_str());
}

}  // namespace

TransferOutcome RunHttpTransfer(InputState& input, const char* url) {
    CurlHeaderList requestHeaders;
    requestHeaders.append("Icy-MetaData:1");
    if (!input.curlHandle) input.curlHandle = CurlEasy();
    input.url = url;
    SetTransferOptions(input, url, requestHeaders);

    Report(FrontEnd().inputStreamUrl, url);
    Report(FrontEnd().mainStatus, "Connecting To Input");
    Report(FrontEnd().inputStatus, "Connecting...");
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Resetting transcoder\n");
    ResetHeaderState(input);
    input.headerLength = 0;
    input.droppingForOutage = false;
    input.transferRefused = false;
    input.transferEnd = TransferEnd::kNone;
    input.audioArrived = false;
    input.lastByteAt = std::chrono::steady_clock::now();

    // Blocks for the whole transfer. However it ends (source finished, stalled, unreachable,
    // refused by a callback), the teardown is the same; the destination stays with the output
    // loop.
    const CURLcode result = curl_easy_perform(input.curlHandle.get());
    if (input.transferEnd == TransferEnd::kNone) ReportTransferFailure(input, result);

    FinishTransfer(input, TransferEndRequested());
    requestHeaders.reset();
    input.ringBuffer.release();
    input.audioBlock.reset();
    input.curlHandle.reset();
    return {result, input.transferEnd, input.audioArrived};
}

namespace {

void RunLineIn() {
    if (OpenLineInDevice() == 0) {
        Report(FrontEnd().inputStatus, "Fail to open input device");
        return;
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
}

}  // namespace

bool TransferEndRequested() {
    return FrontEnd().stopRequested.load() != 0 || Engine().destinationLost.load();
}

void FinishTransfer(InputState& input, bool stopRequested) {
    if (input.inputIsVorbis) {
        // The thread gets the buffered rest (or, on a stop, nothing more), then the end.
        if (stopRequested) {
            input.oggSource.Abandon();
        } else {
            input.oggSource.Finish();
        }
        JoinVorbisDecoder();
        input.vorbisDecoderRunning = false;
    } else if (input.headerDone) {
        if (!stopRequested) {
            DrainMp3Blocks(input);
            mp3_decoder_flush(&Mp3Decoder());
        }
        mp3_decoder_finish(&Mp3Decoder());
    }
    // The output loop ends the encoder itself when the run ends; without it, this is the end.
    if (!OutputLoopRunning()) FlushEncoder();
}

int StartTranscoding() {
    // stopRequested is not cleared here: the front end cleared it before installing its signal
    // handlers, so a value here is a SIGINT/SIGTERM that arrived during start-up, and the run
    // must honour it rather than relay until a second signal kills the process.
    Report(FrontEnd().mainStatus, "Connecting To Output Stream");
    // Before any thread may start a transfer of its own (the primary's probe).
    curl_global_init(CURL_GLOBAL_DEFAULT);
    RunInput(GetSourceUrl());
    return 1;
}

int RunInput(const char* url) {
    InputState& input = Input();
    std::memset(input.headerBuffer.data(), 0, kHeaderBufferBytes - 2);
    input.headerLength = 0;
    if (ConnectToServer() == 0) {
        Report(FrontEnd().mainStatus, "Failed Connecting To Output Stream");
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Failed Connecting To Output Stream: with no destination to relay to, the "
                   "source is not fetched and the run ends");
        return 0;
    }
    if (std::strcmp(url, "linein") == 0) {
        RunLineIn();
    } else {
        StartOutputLoop();
        if (Engine().sourceReconnect != 0) {
            RunSourcesUntilStopped(input, url);
        } else {
            RunHttpTransfer(input, url);
        }
        FinishOutputLoop(TransferEndRequested());
    }
    Report(FrontEnd().mainStatus, "Done");
    return 0;
}
