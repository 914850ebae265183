// Host build: ASCII passes through and anything else becomes '?', the default character of the
// Windows ANSI code pages. Enough for the plain-logic tests of the report formats.
#include "report/ansi_text.h"

#include <cstring>

void toAnsi(const wchar_t* text, char* out, std::size_t outBytes)
{
    if (out == nullptr || outBytes == 0) return;
    std::memset(out, 0, outBytes);
    if (text == nullptr) return;
    for (std::size_t i = 0; i + 1 < outBytes && text[i] != 0; ++i)
        out[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
}
