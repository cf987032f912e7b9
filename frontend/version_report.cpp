// "-V": the program's version and the versions of the libraries it actually runs with, asked of
// each library at run time: a package built against one release and run with another shows it.
#include <curl/curl.h>
#include <lame/lame.h>
#include <mad.h>
#include <vorbis/codec.h>

#include <cstdio>

#include "common/version.h"
#include "frontend/commandline.h"

void PrintVersions() {
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    std::printf("transcode %s\n", kTranscodeVersion);
    std::printf("libcurl: %s\n", curl != nullptr ? curl->version : "unknown");
    std::printf("LAME: %s\n", get_lame_version());
    std::printf("libvorbis: %s\n", vorbis_version_string());
    std::printf("libmad: %s\n", mad_version);
}
