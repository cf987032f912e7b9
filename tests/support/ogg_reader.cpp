#include "tests/support/ogg_reader.h"

#include <sys/socket.h>
#include <unistd.h>
#include <vorbis/vorbisfile.h>

#include <cstdio>
#include <cstring>

#include "engine/libzembril.h"

namespace {

// Reads a whole (possibly chained) stream from memory with libvorbisfile.
struct MemorySource {
    const std::string* bytes;
    size_t position = 0;
};

size_t ReadMemory(void* target, size_t size, size_t count, void* source) {
    auto* memory = static_cast<MemorySource*>(source);
    const size_t wanted = size * count;
    const size_t left = memory->bytes->size() - memory->position;
    const size_t taken = wanted < left ? wanted : left;
    std::memcpy(target, memory->bytes->data() + memory->position, taken);
    memory->position += taken;
    return size == 0 ? 0 : taken / size;
}

int SeekMemory(void* source, ogg_int64_t offset, int whence) {
    auto* memory = static_cast<MemorySource*>(source);
    const auto size = static_cast<ogg_int64_t>(memory->bytes->size());
    ogg_int64_t position = whence == SEEK_SET ? offset
                           : whence == SEEK_CUR
                               ? static_cast<ogg_int64_t>(memory->position) + offset
                               : size + offset;
    if (position < 0 || position > size) return -1;
    memory->position = static_cast<size_t>(position);
    return 0;
}

long TellMemory(void* source) {
    return static_cast<long>(static_cast<MemorySource*>(source)->position);
}

}  // namespace

StreamCapture::StreamCapture() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends_) != 0) ends_[0] = ends_[1] = -1;
    const int size = 4 * 1024 * 1024;
    setsockopt(ends_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    Engine().destination.streamSocket = ends_[0];
}

StreamCapture::~StreamCapture() {
    if (Engine().destination.streamSocket == ends_[0]) Engine().destination.streamSocket = -1;
    if (!closedByEngine_) close(ends_[0]);
    close(ends_[1]);
}

std::string StreamCapture::Take() {
    std::string bytes;
    char buffer[65536];
    ssize_t count;
    while ((count = recv(ends_[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        bytes.append(buffer, static_cast<size_t>(count));
    }
    return bytes;
}

std::vector<PageInfo> PagesOf(const std::string& bytes) {
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::memcpy(buffer, bytes.data(), bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    std::vector<PageInfo> pages;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        pages.push_back({ogg_page_serialno(&page), ogg_page_bos(&page) != 0,
                         ogg_page_eos(&page) != 0, ogg_page_granulepos(&page)});
    }
    ogg_sync_clear(&sync);
    return pages;
}

std::vector<Link> LinksOf(const std::string& bytes) {
    MemorySource source{&bytes};
    OggVorbis_File file;
    const ov_callbacks callbacks = {ReadMemory, SeekMemory, nullptr, TellMemory};
    if (ov_open_callbacks(&source, &file, nullptr, 0, callbacks) != 0) return {};
    std::vector<Link> links;
    for (int link = 0; link < ov_streams(&file); ++link) {
        const vorbis_comment* comments = ov_comment(&file, link);
        const vorbis_info* info = ov_info(&file, link);
        Link found{{},
                   ov_pcm_total(&file, link),
                   static_cast<int>(ov_serialnumber(&file, link)),
                   info->bitrate_upper,
                   info->bitrate_lower};
        for (int index = 0; index < comments->comments; ++index) {
            found.comments.emplace_back(comments->user_comments[index],
                                        static_cast<size_t>(comments->comment_lengths[index]));
        }
        links.push_back(found);
    }
    ov_clear(&file);
    return links;
}
