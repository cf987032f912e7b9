// "-V": the program's version and the versions of the libraries it actually runs with, asked of
// each library at run time: a package built against one release and run with another shows it.
#include <curl/curl.h>
#include <lame/lame.h>
#include <mpg123.h>
#include <vorbis/codec.h>

#include <cstdio>

#include "common/version.h"
#include "frontend/commandline.h"

namespace {

// libmpg123 tells its version at run time only from API 48 (1.32) on; before that, the version the
// program was built with is the one pkg-config reported.
void PrintMpg123Version() {
#if MPG123_API_VERSION >= 48
    unsigned int major = 0;
    unsigned int minor = 0;
    unsigned int patch = 0;
    std::printf("libmpg123: %s\n", mpg123_distversion(&major, &minor, &patch));
#else
    std::printf("libmpg123: %s (built with; API %d)\n", TRANSCODE_MPG123_VERSION,
                MPG123_API_VERSION);
#endif
}

}  // namespace

void PrintVersions() {
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    std::printf("transcode %s\n", kTranscodeVersion);
    std::printf("libcurl: %s\n", curl != nullptr ? curl->version : "unknown");
    std::printf("LAME: %s\n", get_lame_version());
    std::printf("libvorbis: %s\n", vorbis_version_string());
    PrintMpg123Version();
}
