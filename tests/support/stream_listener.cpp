#include "tests/support/stream_listener.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include "tests/support/icecast_server.h"

namespace {

struct Sink {
    std::mutex* mutex;
    std::string* body;
};

std::size_t AppendLocked(char* bytes, std::size_t size, std::size_t count, void* data) {
    auto* sink = static_cast<Sink*>(data);
    std::lock_guard hold(*sink->mutex);
    sink->body->append(bytes, size * count);
    return size * count;
}

std::size_t AppendPlain(char* bytes, std::size_t size, std::size_t count, void* data) {
    static_cast<std::string*>(data)->append(bytes, size * count);
    return size * count;
}

}  // namespace

std::string FetchUrl(const std::string& url, int timeoutMs) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return "";
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendPlain);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return result == CURLE_OK ? body : "";
}

StreamListener::StreamListener(std::string url, int maxMs) : url_(std::move(url)), maxMs_(maxMs) {
    thread_ = std::thread([this] { Run(); });
}

StreamListener::~StreamListener() {
    if (thread_.joinable()) thread_.join();
}

void StreamListener::Run() {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return;
    Sink sink{&mutex_, &body_};
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendLocked);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(maxMs_));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_perform(curl);  // ends with the stream or the time limit; either way the body counts
    curl_easy_cleanup(curl);
}

std::string StreamListener::Finish() {
    if (thread_.joinable()) thread_.join();
    std::lock_guard hold(mutex_);
    return body_;
}

std::size_t StreamListener::ByteCount() const {
    std::lock_guard hold(mutex_);
    return body_.size();
}

TitleWatcher::TitleWatcher(uint16_t port, std::string mount, int maxMs)
    : port_(port), mount_(std::move(mount)), maxMs_(maxMs) {
    thread_ = std::thread([this] { Run(); });
}

TitleWatcher::~TitleWatcher() {
    Stop();
}

std::vector<std::string> TitleWatcher::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    return titles_;
}

void TitleWatcher::Run() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs_);
    const std::string statusUrl = "http://127.0.0.1:" + std::to_string(port_) + "/status-json.xsl";
    while (!stopping_.load() && std::chrono::steady_clock::now() < deadline) {
        std::string title;
        if (FindMountTitle(FetchUrl(statusUrl, 2000), mount_, title) && !title.empty() &&
            std::find(titles_.begin(), titles_.end(), title) == titles_.end()) {
            titles_.push_back(title);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
