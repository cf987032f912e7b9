#include "input/redirect_trail.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include "common/log.h"
#include "common/text_encoding.h"

namespace {

struct CurlUrlRelease {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlRelease>;

// The flags libcurl itself reads a Location with. Any scheme is read, so that a redirect to one
// this program does not follow is refused by name instead of as an unreadable URL.
constexpr unsigned int kLocationFlags =
    CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_NON_SUPPORT_SCHEME;

bool IsHttpUrl(std::string_view url) {
    // libcurl hands the URL back with its scheme in lower case.
    return url.starts_with("http://") || url.starts_with("https://");
}

}  // namespace

int ResolveUrl(std::string_view base, std::string_view reference, std::string& resolved) {
    const CurlUrl url(curl_url());
    if (url == nullptr) return 0;
    if (!base.empty() && curl_url_set(url.get(), CURLUPART_URL, std::string(base).c_str(),
                                      CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return 0;
    }
    if (curl_url_set(url.get(), CURLUPART_URL, std::string(reference).c_str(), kLocationFlags) !=
        CURLUE_OK) {
        return 0;
    }
    char* text = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return 0;
    resolved = text;
    curl_free(text);
    return 1;
}

std::string ShownSourceUrl(std::string_view url) {
    return url.empty() ? "the source" : MaskedUrl(url);
}

void RedirectTrail::Start(std::string_view url) {
    std::string normalized;
    if (ResolveUrl({}, url, normalized) == 0) normalized = url;
    visited_[0] = std::move(normalized);
    visitedCount_ = 1;
    redirectCount_ = 0;
}

bool RedirectTrail::Follow(std::string_view from, std::string_view location, std::string& target) {
    if (ResolveUrl(from, location, target) == 0) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Redirect from %s to an unusable location refused: \"%s\"",
                   ShownSourceUrl(from).c_str(), MaskedUrl(location).c_str());
        return false;
    }
    if (!MayFollow(from, target)) return false;
    visited_[visitedCount_++] = target;
    ++redirectCount_;
    return true;
}

bool RedirectTrail::Visited(std::string_view url) const {
    const auto end = visited_.begin() + static_cast<std::ptrdiff_t>(visitedCount_);
    return std::find(visited_.begin(), end, url) != end;
}

bool RedirectTrail::MayFollow(std::string_view from, const std::string& target) const {
    const std::string shownFrom = ShownSourceUrl(from);
    const std::string shownTarget = MaskedUrl(target);
    if (!IsHttpUrl(target)) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Redirect from %s to another scheme refused: %s (only http and https are "
                   "followed)",
                   shownFrom.c_str(), shownTarget.c_str());
        return false;
    }
    // Checked before the count, so that a loop is called one even when it is also the sixth.
    if (Visited(target)) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Redirect loop at %s: it sends the source back to %s, already visited in this "
                   "transfer",
                   shownFrom.c_str(), shownTarget.c_str());
        return false;
    }
    if (redirectCount_ == kMaxRedirects) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Too many redirects (more than %zu) from the source, the last one from %s to "
                   "%s",
                   kMaxRedirects, shownFrom.c_str(), shownTarget.c_str());
        return false;
    }
    return true;
}
