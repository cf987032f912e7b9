// ICY metadata texts: "StreamTitle='Artist - Song';StreamUrl='';", padded with zero bytes.
#pragma once

#include <string>
#include <string_view>

// The title of a metadata text: the value of its StreamTitle field, wherever that field stands
// among the others (StreamUrl often comes first). The text ends at its first zero byte; it is
// read as key='value'; fields, a value ending at the first "';" after its opening apostrophe, so
// apostrophes inside a title are kept. The key is matched without regard to case. False when
// there is no complete StreamTitle field.
bool ExtractIcyTitle(std::string_view text, std::string& title);

// Hands the title of a metadata text to the engine and reports it when it changed.
void HandleIcyMetadata(std::string_view text);
