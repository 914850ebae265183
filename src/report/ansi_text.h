// UTF-16 to the system's ANSI code page, the way the reports and the identifier need it.
#pragma once

#include <cstddef>

// Converts the NUL-terminated text into out (outBytes including the terminator) with precomposed
// forms where the code page has them. out is emptied first, so a failed conversion leaves "" and
// never an earlier value; the result is always terminated within out.
void toAnsi(const wchar_t* text, char* out, std::size_t outBytes);

// The same conversion into any Windows code page (Windows builds only); toAnsi uses CP_ACP.
void toCodePage(unsigned codePage, const wchar_t* text, char* out, std::size_t outBytes);
