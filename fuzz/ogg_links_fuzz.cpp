// The Ogg link splitter and the decoders behind it (Opus through libopusfile, Vorbis through
// libvorbisfile). First the splitter alone, read in pieces of the sizes a seed byte draws: every
// link it hands out must be whole pages one after the other, opening with the page that begins a
// logical stream, and it must never hand out more bytes than came in. Then the decoder thread's
// body on the same bytes through the ring source, as ogg_vorbis_fuzz runs it, with every decoded
// block checked.
//
// Input: one byte (the seed of the piece sizes), then the stream.
#include <ogg/ogg.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decoders/ogg_links.h"
#include "fuzz/fuzz_support.h"

namespace {

// The whole input at once, then 0: the input has ended.
class WholeInput final : public OggByteSource {
  public:
    explicit WholeInput(std::string_view bytes) : rest_(bytes) {}
    std::size_t Read(void* dest, std::size_t byteCount) override {
        const std::size_t taken = std::min(byteCount, rest_.size());
        rest_.copy(static_cast<char*>(dest), taken);
        rest_.remove_prefix(taken);
        return taken;
    }

  private:
    std::string_view rest_;
};

// True when the bytes are whole pages and nothing else, the first one beginning a stream.
bool IsWholePages(const std::string& link) {
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(link.size()));
    link.copy(buffer, link.size());
    ogg_sync_wrote(&sync, static_cast<long>(link.size()));
    ogg_page page;
    bool whole = true;
    bool first = true;
    std::size_t pageBytes = 0;
    for (int result; (result = ogg_sync_pageout(&sync, &page)) != 0;) {
        if (result < 0 || (first && ogg_page_bos(&page) == 0)) {
            whole = false;
            break;
        }
        first = false;
        pageBytes += static_cast<std::size_t>(page.header_len + page.body_len);
    }
    ogg_sync_clear(&sync);
    return whole && pageBytes == link.size();
}

void CheckLinks(std::string_view stream, ChunkCutter& cutter) {
    WholeInput input(stream);
    OggLinkSplitter links(input);
    links.ReadStart(4);
    std::size_t handedOut = 0;
    while (links.NextLink() == OggLinkSplitter::LinkStart::kFound) {
        std::string link;
        char piece[4096];
        for (;;) {
            const std::size_t wanted = std::min(cutter.Next(sizeof piece), sizeof piece);
            const std::size_t got = links.ReadLink(piece, wanted);
            link.append(piece, got);
            if (got == 0) break;
        }
        FuzzCheck(IsWholePages(link), "a link is whole pages, the first one opening a stream");
        handedOut += link.size();
        FuzzCheck(handedOut <= stream.size(), "no more bytes handed out than came in");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputBytes bytes(data, size);
    ChunkCutter cutter(bytes.Byte());
    const std::string_view stream = bytes.Rest();
    CheckLinks(stream, cutter);

    DecodeOggThroughRingSource(stream);
    ResetProcessRecords();
    return 0;
}
