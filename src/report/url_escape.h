// Percent-escaping of report values. The character classes and the lower-case hex are part of the
// wire format the statistics server parses: they must not change.
#pragma once

#include <cstddef>

constexpr std::size_t kEscapeBufferBytes = 4096;

// True when urlEscape must write the byte as %xx (except '%' itself, which is never escaped).
bool isUnsafeUrlChar(unsigned char byte);

// Escapes text into out (outBytes including the terminator). Stops at the first byte whose copy or
// escape would not fit whole, so the output is always terminated and never ends in half an escape.
// Returns the number of characters written.
std::size_t urlEscape(const char* text, char* out, std::size_t outBytes);
