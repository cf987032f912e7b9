// ICY metadata texts: "StreamTitle='Artist - Song';StreamUrl='';", padded with zero bytes.
#pragma once

#include <string>
#include <string_view>

// The title of a metadata text: the text ends at its first zero byte, and the title lies between
// its first apostrophe and the first "';" after that. False when there is none.
bool ExtractIcyTitle(std::string_view text, std::string& title);

// Hands the title of a metadata text to the engine and reports it when it changed.
void HandleIcyMetadata(std::string_view text);
