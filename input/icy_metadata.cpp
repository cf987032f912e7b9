#include "input/icy_metadata.h"

#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"

bool ExtractIcyTitle(std::string_view text, std::string& title) {
    text = text.substr(0, text.find('\0'));
    const std::size_t open = text.find('\'');
    if (open == std::string_view::npos) return false;
    // Apostrophes inside the title are kept: only "';" closes it.
    const std::size_t close = text.find("';", open + 1);
    if (close == std::string_view::npos) return false;
    title.assign(text.substr(open + 1, close - open - 1));
    return true;
}

void HandleIcyMetadata(std::string_view text) {
    std::string title;
    if (!ExtractIcyTitle(text, title)) return;
    if (SetCurrentTitle(title.c_str()) == 0) return;
    LogMessage(LOG_INFO, kLogInput, __LINE__, "Metadata = (%s)\n", PrintableText(title).c_str());
    Report(FrontEnd().metadata, title.c_str());
}
