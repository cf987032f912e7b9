#include "input/icy_metadata.h"

#include <strings.h>

#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"

namespace {

constexpr std::string_view kTitleKey = "StreamTitle";

bool IsTitleKey(std::string_view key) {
    key = TrimBlanks(key);
    return key.size() == kTitleKey.size() &&
           strncasecmp(key.data(), kTitleKey.data(), kTitleKey.size()) == 0;
}

}  // namespace

bool ExtractIcyTitle(std::string_view text, std::string& title) {
    text = text.substr(0, text.find('\0'));
    std::size_t fieldStart = 0;
    for (;;) {
        const std::size_t open = text.find("='", fieldStart);
        if (open == std::string_view::npos) return false;
        const std::size_t valueStart = open + 2;
        const std::size_t close = text.find("';", valueStart);
        if (close == std::string_view::npos) return false;
        if (IsTitleKey(text.substr(fieldStart, open - fieldStart))) {
            title.assign(text.substr(valueStart, close - valueStart));
            return true;
        }
        fieldStart = close + 2;
    }
}

void HandleIcyMetadata(std::string_view text) {
    std::string title;
    if (!ExtractIcyTitle(text, title)) return;
    // The engine stores the title without control bytes; the console shows it as stored.
    title = WithoutControlBytes(title);
    if (SetCurrentTitle(title.c_str()) == 0) return;
    LogMessage(LOG_INFO, kLogInput, __LINE__, "Metadata = (%s)\n", PrintableText(title).c_str());
    Report(FrontEnd().metadata, title.c_str());
}
