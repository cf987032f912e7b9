// The redirects of one source transfer.
//
// libcurl follows a redirect itself (CURLOPT_FOLLOWLOCATION); the header handling asks the trail
// first, when a 3xx header with a Location has ended, so that a loop, a sixth redirect or one that
// leaves HTTP(S) ends the transfer with a line that names the URL rather than with libcurl's bare
// error. The transfer's options start it afresh with the configured URL: a redirect target often
// carries a token that expires, so no transfer may begin where an earlier one was sent.
//
// Main thread only (the transfer and its header callback).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

class RedirectTrail {
  public:
    static constexpr std::size_t kMaxRedirects = 5;

    // A transfer from `url`; whatever an earlier transfer visited is forgotten.
    void Start(std::string_view url);
    // The redirect from `from` (the URL that answered) to `location` (the Location field's value,
    // perhaps relative to `from`). True with the absolute target in `target`, which is then
    // visited; false, after an Error line that names the URLs, when the redirect is refused.
    bool Follow(std::string_view from, std::string_view location, std::string& target);

    std::size_t redirectCount() const { return redirectCount_; }

  private:
    bool Visited(std::string_view url) const;
    // False, after the Error line, for a target that may not be followed.
    bool MayFollow(std::string_view from, const std::string& target) const;

    // The configured URL, then each target: at most one more than the redirects.
    std::array<std::string, kMaxRedirects + 1> visited_;
    std::size_t visitedCount_ = 0;
    std::size_t redirectCount_ = 0;
};

// Where `reference` leads when it is met at `base` (which may be empty for an absolute reference),
// read as libcurl reads a Location, so that the trail and the transfer agree. 1 with the absolute
// URL in `resolved`, 0 when either cannot be read as a URL.
int ResolveUrl(std::string_view base, std::string_view reference, std::string& resolved);

// A source URL as the lines that report on it show it: masked (MaskedUrl), or "the source" while
// none is known.
std::string ShownSourceUrl(std::string_view url);
