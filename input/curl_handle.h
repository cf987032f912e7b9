// Owners of the libcurl easy handle and of a request header list.
#pragma once

#include <curl/curl.h>

#include <utility>

class CurlEasy {
  public:
    CurlEasy() : handle_(curl_easy_init()) {}
    ~CurlEasy() { reset(); }
    CurlEasy(CurlEasy&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    CurlEasy& operator=(CurlEasy&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;

    CURL* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    template <typename Value>
    CURLcode set(CURLoption option, Value value) {
        return curl_easy_setopt(handle_, option, value);
    }

    void reset() {
        if (handle_ != nullptr) curl_easy_cleanup(handle_);
        handle_ = nullptr;
    }

  private:
    CURL* handle_ = nullptr;
};

class CurlHeaderList {
  public:
    CurlHeaderList() = default;
    ~CurlHeaderList() { reset(); }
    CurlHeaderList(const CurlHeaderList&) = delete;
    CurlHeaderList& operator=(const CurlHeaderList&) = delete;

    // False when the line could not be added (the list keeps what it had).
    bool append(const char* line) {
        curl_slist* longer = curl_slist_append(list_, line);
        if (longer == nullptr) return false;
        list_ = longer;
        return true;
    }
    curl_slist* get() const { return list_; }

    void reset() {
        curl_slist_free_all(list_);
        list_ = nullptr;
    }

  private:
    curl_slist* list_ = nullptr;
};
