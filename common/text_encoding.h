// Text encoders for the requests sent to streaming servers: Base64 for the HTTP Basic credential,
// percent-encoding for the password and the song title in an admin request's query string; and
// the printable form of network text for status and log lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Standard RFC 4648 alphabet with "=" padding and no line breaks; "" for "".
std::string Base64Encode(std::string_view text);

// Percent-encodes the text in `input` (up to its first zero byte, or its whole size) and leaves the
// result in both buffers, each zero-filled after the text: a caller that still needs the original
// passes a copy. Encoded as "%XX" (upper-case hex): % ; / ? : @ & = + space " # < > ! * ' ( ) ,
// and the control bytes 1 to 31 and 127 (so a title cannot inject a line break into a request).
// Every other byte, UTF-8 included, passes unchanged.
//
// Nothing is written past either buffer: the result holds at most min(inputSize, outputSize) - 1
// characters, and an encoding that does not fit is cut before the first character that does not
// fit whole, never inside a "%XX". Returns 1 when the whole text was encoded, 0 when it was cut.
int PercentEncode(char* input, std::size_t inputSize, char* output, std::size_t outputSize);

// The text with each control byte (1 to 31 and 127) shown as '?', for status and log lines that
// carry text from the network (titles, station names): a line break in a title must not forge a
// log line, nor an escape sequence steer the operator's terminal. Other bytes pass unchanged.
std::string PrintableText(std::string_view text);
