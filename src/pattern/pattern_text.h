// Character helpers shared by the pattern compiler and the matching machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <type_traits>

// A code unit as an unsigned number, the form in which instruction operands hold characters
// (wchar_t is signed on some hosts).
inline uint64_t characterCode(wchar_t c)
{
    return static_cast<uint64_t>(static_cast<std::make_unsigned<wchar_t>::type>(c));
}

// The run-time library's lowercase mapping in the current locale; in the default locale only A to
// Z change. Pattern and text go through the same mapping, which is what makes matching ignore case.
inline wchar_t foldCase(wchar_t c)
{
    // Header blocks are ASCII, and there Windows' run-time library folds exactly A to Z in every
    // locale (its lowercase mapping is not the linguistic one, so Turkish I stays I -> i): those
    // units skip the library call, which was a sixth of a header search.
    if (c >= 0 && c < 0x80) return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
}

// A malloc'ed, lowercased copy of length units plus the terminator; null when memory runs out.
inline wchar_t* lowercasedCopy(const wchar_t* text, std::size_t length)
{
    if (length >= SIZE_MAX / sizeof(wchar_t)) return nullptr;
    auto* copy = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (copy == nullptr) return nullptr;
    for (std::size_t i = 0; i < length; ++i) copy[i] = foldCase(text[i]);
    copy[length] = 0;
    return copy;
}
