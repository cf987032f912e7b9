// Reading what the output engine sent: a socket pair standing in for the stream connection, and
// Ogg Vorbis bytes taken apart with libogg (pages) and libvorbisfile (links, comments, lengths).
#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <string>
#include <vector>

// The engine's stream connection is one end of a socket pair; the test reads the other end.
class StreamCapture {
  public:
    StreamCapture();
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // DisconnectFromServer closed the engine's end.
    void ClosedByEngine() { closedByEngine_ = true; }
    // Everything sent so far and not taken yet.
    std::string Take();

  private:
    int ends_[2] = {-1, -1};
    bool closedByEngine_ = false;
};

struct PageInfo {
    int serial;
    bool beginsStream;
    bool endsStream;
    std::int64_t granule = -1;  // -1: no packet ends on the page
};

std::vector<PageInfo> PagesOf(const std::string& bytes);

// One logical stream of a chained Ogg Vorbis stream.
struct Link {
    std::vector<std::string> comments;
    ogg_int64_t frameCount;
    int serial;
    long upperBitrate;  // as the identification header declares them
    long lowerBitrate;
};

// The links of the stream, or none when libvorbisfile does not take it as a Vorbis stream.
std::vector<Link> LinksOf(const std::string& bytes);
