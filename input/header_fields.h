// Reading the fields of a response header: status lines, header fields by name, content types.
// Pure text functions; the header handling (header_handling.cpp) decides what they mean.
#pragma once

#include <string_view>

#include "common/fixed_text.h"
#include "common/text_encoding.h"

using HeaderValue = FixedText<1024>;  // a header value keeps at most 1023 bytes

// The line without its line ending ("\r\n" or "\n").
std::string_view WithoutLineEnd(std::string_view line);

// A line that opens a response: "HTTP/..." or "ICY ...".
bool IsStatusLine(std::string_view line);
// The three-digit status code of a status line ("HTTP/1.1 404 Not Found", "ICY 200 OK"); -1 when
// the line carries none.
int StatusCode(std::string_view line);

// The value of the field `name` (matched without regard to case, as HTTP names are) in one header
// line: everything after the colon up to the line end, blanks included. False when the line holds
// another field.
bool FieldValue(std::string_view line, std::string_view name, HeaderValue& value);
// The same over a whole header of several lines: the value of the first line with that field.
bool FindFieldValue(std::string_view header, std::string_view name, HeaderValue& value);
// FieldValue uncut, as a view into the line: for a value that must not lose a byte (a redirect's
// Location).
bool FieldText(std::string_view line, std::string_view name, std::string_view& text);

enum class SourceFormat { kMp3, kVorbis, kAac, kUnknown };
// The audio format a Content-Type value names; its letter case, blanks and parameters
// ("; charset=...") do not matter.
SourceFormat FormatOfContentType(std::string_view type);
